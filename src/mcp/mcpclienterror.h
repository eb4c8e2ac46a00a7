#pragma once

#include "core/expected.h"

#include <QString>

/// Failures of the stamping-service client, with their user-facing texts.
struct MCPClientError {
    enum class Case { badStatus, message, noSession, noReceipt };

    Case kind = Case::message;
    int code = 0;
    QString body; // badStatus
    QString text; // message

    static MCPClientError badStatus(int code, const QString &body) { return { Case::badStatus, code, body, {} }; }
    static MCPClientError message(const QString &text) { return { Case::message, 0, {}, text }; }
    static MCPClientError noSession() { return { Case::noSession, 0, {}, {} }; }
    static MCPClientError noReceipt() { return { Case::noReceipt, 0, {}, {} }; }

    QString description() const;
    Error toError() const { return Error { description() }; }
    operator Error() const { return toError(); }
};
