#include "auth/tokensource.h"

#include "auth/credentialsfile.h"
#include "core/text.h"

TokenSource::TokenSource() = default;

TokenSource::~TokenSource() = default;

QCoro::Task<QString> TokenSource::bearerToken()
{
    // The file is the truth: the app, the command-line tool and earlier
    // renewals all save there.
    auto loading = CredentialsFile::loadAsync();
    Credentials saved = co_await loading;
    if (m_client.renewalDue(saved)) {
        auto renewing = m_client.login(saved);
        const auto renewed = co_await renewing;
        if (renewed)
            saved = renewed->credentials;
    }
    co_return Text::trimmed(saved.accessToken);
}
