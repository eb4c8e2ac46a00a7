#pragma once

// A stamping client for pictures and benches of the real windows: no network.

#include "core/stampingclient.h"

#include <QCoro/QCoroTimer>
#include <QTimer>

// Answers every file at once, after one turn of the event loop (as the
// quickest network would); one row in five fails.
class InstantService : public StampingClient {
public:
    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override
    {
        QTimer turn;
        turn.setSingleShot(true);
        turn.start(0);
        co_await turn;
        const bool fails = ++m_count % 5 == 0;
        co_return FileResult { path, sha256, QStringLiteral("rcpt-%1-0123456789abcdef").arg(m_count),
            QStringLiteral("2026-12-06T09:00:00Z"), scope,
            fails ? QStringLiteral("Error: HTTP 500: quota exceeded") : QStringLiteral("Registered"), {},
            fails ? ResultKind::error : ResultKind::registered };
    }
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override
    {
        return registerFile(path, sha256, scope);
    }

private:
    int m_count = 0;
};
