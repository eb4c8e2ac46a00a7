#pragma once

#include "auth/authclient.h"

#include <QCoro/QCoroTask>
#include <QString>

/// Where an MCP client gets its bearer token: the credentials file as saved,
/// never a window's unsaved edits. A token that expires within 5 minutes is
/// renewed first with the saved user name, password and Auth API URL; a
/// renewal that fails goes unreported and the saved token is used as it is.
/// Whoever creates an MCPClient gives it one.
class TokenSource {
public:
    TokenSource();
    ~TokenSource();
    TokenSource(const TokenSource &) = delete;
    TokenSource &operator=(const TokenSource &) = delete;

    /// The saved token, trimmed, renewed first when due; empty when none is saved.
    QCoro::Task<QString> bearerToken();

    /// The Auth API client that renews (tests set its clock and timeout).
    AuthClient &client() { return m_client; }

private:
    AuthClient m_client;
};
