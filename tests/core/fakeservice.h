#pragma once

#include "core/batchrun.h"

#include <QCoro/QCoroTimer>
#include <QTimer>

#include <functional>
#include <memory>

struct Call {
    QString tool, path, sha256, scope;
};

// What the fake service saw and how it answers: answer decides each row's
// kind; while holding, each call waits until the test opens the gate.
struct ServiceLog {
    QStringList urls;
    QList<Call> calls;
    bool holding = false;
    QString status = QStringLiteral("Registered");
    std::function<ResultKind(const Call &)> answer = [](const Call &) { return ResultKind::registered; };
    std::function<void()> onCall;
    QTimer gate;
    void open() { gate.start(0); }
};

// Always suspends, like a network round trip.
class FakeService : public StampingClient {
public:
    explicit FakeService(std::shared_ptr<ServiceLog> log)
        : m_log(std::move(log))
    {
    }

    static BatchRun::ServiceFactory factory(std::shared_ptr<ServiceLog> log)
    {
        return [log](const QString &url) {
            log->urls.append(url);
            return std::make_unique<FakeService>(log);
        };
    }

    QCoro::Task<FileResult> registerFile(QString path, QString sha256, QString scope) override
    {
        return answer({ QStringLiteral("register"), path, sha256, scope });
    }
    QCoro::Task<FileResult> verify(QString path, QString sha256, QString scope) override
    {
        return answer({ QStringLiteral("verify"), path, sha256, scope });
    }

private:
    QCoro::Task<FileResult> answer(Call call)
    {
        const std::shared_ptr<ServiceLog> log = m_log;
        log->calls.append(call);
        if (log->onCall)
            log->onCall();
        // A held call waits on the gate, armed far ahead until open() fires it.
        QTimer now;
        QTimer *wake = log->holding ? &log->gate : &now;
        wake->setSingleShot(true);
        if (!wake->isActive())
            wake->start(log->holding ? 24 * 3600 * 1000 : 0);
        co_await *wake;
        co_return FileResult { call.path, call.sha256, QStringLiteral("r-1"), {}, call.scope, log->status, {},
            log->answer(call) };
    }

    std::shared_ptr<ServiceLog> m_log;
};
