// What every stand-in test starts from: a clean stand-in with one account, the
// real clock, and clients pointed at the stand-in through the configuration.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Standin.h"
#include "common/TestPaths.h"
#include "service/HttpBase.h"
#include "service/AsyncRequest.h"
#include "service/HttpMeishiRegister.h"
#include "service/ServiceConfig.h"
#include "support/Clock.h"

namespace tessaran_test {

// Mail address and token with every character the logon form escapes, and
// non-ASCII text.
constexpr char kMail[] = "a&b=c%d@example.jp";
constexpr char kToken[] = "tok=en&%25 +\xE6\x97\xA5\xE6\x9C\xAC";

// Polls the condition until it holds or the time is up.
inline bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 15000) {
    const ULONGLONG until = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() > until) return false;
        ::Sleep(20);
    }
    return true;
}

// A transport whose logon sends nothing: it counts the calls and answers what
// the test says.
class ProbeTransport : public tessaran::CHttp_base {
public:
    int Login(int retry) noexcept override {
        ++logins;
        lastLoginRetry = retry;
        return onLogin ? onLogin() : 0;
    }
    int Logout() noexcept override {
        Close();
        return 0;
    }
    const std::wstring& Cookie() const { return m_Cookie; }
    HINTERNET Session() const { return m_hSession.get(); }
    // Reads the body of a request that was never sent.
    int ReadUnsent(HGLOBAL* block) {
        tessaran::AsyncRequest request;
        return ReadResponse(request, block);
    }

    int logins = 0;
    int lastLoginRetry = -1;
    std::function<int()> onLogin;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!standin.Available()) GTEST_SKIP() << "runs only against the stand-in (STANDIN_PORT unset)";
        standin.Reset();
        standin.AddAccount(kMail, kToken);
        tessaran::ClockResetForTest();
    }
    void TearDown() override {
        tessaran::ClockResetForTest();
        tessaran::RequestTimeoutResetForTest();
    }

    // True once the stand-in holds an unanswered request (a "hang" fault)
    // whose path starts with the prefix.
    bool WaitForHeldRequest(const std::string& pathPrefix) {
        return WaitFor([&] {
            for (const JournalEntry& entry : standin.Journal()) {
                if (entry.path.rfind(pathPrefix, 0) == 0 && entry.outcome == "fault:hang") return true;
            }
            return false;
        });
    }

    // The configuration a test or staging set-up gives: the stand-in's
    // self-signed certificate is accepted only because it says so.
    tessaran::ServiceConfig Config(bool trustAny = true, const std::wstring& hostName = std::wstring()) const {
        const std::wstring host =
            (hostName.empty() ? standin.Host() : hostName) + L":" + std::to_wstring(standin.Port());
        std::map<std::wstring, std::wstring> appConfig{{L"cardServiceHost", host}, {L"ocrServiceHost", host}};
        if (trustAny) appConfig[L"trustAnyCertificate"] = L"1";
        return tessaran::ServiceConfig::FromAppConfig(appConfig);
    }

    int Open(tessaran::CHttp_base& transport, bool trustAny = true, const std::wstring& hostName = std::wstring()) {
        const tessaran::ServiceConfig config = Config(trustAny, hostName);
        transport.SetTrustAnyCertificate(config.trustAnyCertificate);
        return transport.Init_Http(tessaran::kServiceAgent, config.cardService.host.c_str(), config.cardService.port);
    }

    // Opens the card client and logs on with the test account.
    int LogOn(tessaran::CHttpMeishiRegister& client, const std::wstring& mail = FromUtf8(kMail),
              const std::wstring& token = FromUtf8(kToken)) {
        const tessaran::ServiceConfig config = Config();
        client.SetTrustAnyCertificate(config.trustAnyCertificate);
        const int opened = client.Init_HttpMeishiRegister(tessaran::kServiceAgent, config.cardService.host.c_str(),
                                                          config.cardService.port, mail.c_str(), token.c_str());
        if (opened != 0) return opened;
        return client.Login(0);
    }

    Standin standin;
};

// A GET through the transport with the body as text.
inline int GetText(tessaran::CHttp_base& transport, const wchar_t* path, std::string* body) {
    HGLOBAL block = nullptr;
    DWORD size = 0;
    const int result = transport.Get(path, &block, &size);
    body->clear();
    if (block) {
        void* data = ::GlobalLock(block);
        body->assign(static_cast<const char*>(data), size);
        ::GlobalUnlock(block);
        ::GlobalFree(block);
    }
    return result;
}

}  // namespace tessaran_test
