#include "StandinControl.h"

#include <windows.h>
#include <wininet.h>

#include "common/TestPaths.h"
#include "support/Handles.h"

using tessaran::UniqueHInternet;

namespace upload_test {

StandinControl::StandinControl() {
    const std::wstring port = tessaran_test::Env(L"STANDIN_PORT");
    m_port = port.empty() ? 0 : std::stoi(port);
}

std::wstring StandinControl::HostAndPort() const { return L"127.0.0.1:" + std::to_wstring(m_port); }

picojson::value StandinControl::Request(const wchar_t* verb, const std::wstring& path, const std::string& body,
                                        std::string* error) const {
    auto fail = [&](const std::string& why) {
        if (error) *error = why + " (" + std::to_string(::GetLastError()) + ")";
        return picojson::value();
    };
    if (m_port == 0) return fail("no stand-in");
    UniqueHInternet session(::InternetOpenW(L"standin-control", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!session) return fail("InternetOpen");
    UniqueHInternet connection(::InternetConnectW(session.get(), L"127.0.0.1", static_cast<INTERNET_PORT>(m_port),
                                                  nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return fail("InternetConnect");
    UniqueHInternet request(::HttpOpenRequestW(
        connection.get(), verb, path.c_str(), nullptr, nullptr, nullptr,
        INTERNET_FLAG_SECURE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
            INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID,
        0));
    if (!request) return fail("HttpOpenRequest");
    // The stand-in's certificate is its own.
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    ::InternetQueryOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    ::InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    const wchar_t* headers = L"Content-Type: application/json";
    if (!::HttpSendRequestW(request.get(), body.empty() ? nullptr : headers, body.empty() ? 0 : static_cast<DWORD>(-1),
                            body.empty() ? nullptr : const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size()))) {
        return fail("HttpSendRequest");
    }
    std::string answer;
    char buffer[65536];
    DWORD read = 0;
    while (::InternetReadFile(request.get(), buffer, sizeof(buffer), &read) && read > 0) answer.append(buffer, read);
    picojson::value value;
    const std::string parseError = picojson::parse(value, answer);
    if (!parseError.empty()) return fail("answer is not JSON: " + answer.substr(0, 200));
    return value;
}

bool StandinControl::Reset() {
    return Request(L"POST", L"/_control/reset", "{\"accounts\": true}").is<picojson::object>();
}

bool StandinControl::AddAccount(const std::string& mail, const std::string& token, int limit) {
    picojson::object account;
    account["mail"] = picojson::value(mail);
    account["token"] = picojson::value(token);
    account["limit"] = picojson::value(static_cast<double>(limit));
    return Request(L"POST", L"/_control/accounts", picojson::value(account).serialize()).is<picojson::object>();
}

bool StandinControl::QueueFault(const std::string& faultJson) {
    return Request(L"POST", L"/_control/faults", faultJson).is<picojson::object>();
}

bool StandinControl::ClearFaults() {
    return Request(L"DELETE", L"/_control/faults").is<picojson::object>();
}

namespace {
picojson::array ArrayOf(const picojson::value& value, const char* key) {
    const picojson::value& member = Member(value, key);
    return member.is<picojson::array>() ? member.get<picojson::array>() : picojson::array();
}
}  // namespace

picojson::array StandinControl::Cards() const { return ArrayOf(Request(L"GET", L"/_control/cards"), "cards"); }

picojson::array StandinControl::OcrRequests() const {
    return ArrayOf(Request(L"GET", L"/_control/ocr_requests"), "requests");
}

picojson::array StandinControl::MlogReports() const {
    return ArrayOf(Request(L"GET", L"/_control/m_log"), "reports");
}

picojson::array StandinControl::Journal(const std::string& pathPrefix) const {
    std::wstring path = L"/_control/journal?bodies=0";
    if (!pathPrefix.empty()) path += L"&path_prefix=" + std::wstring(pathPrefix.begin(), pathPrefix.end());
    return ArrayOf(Request(L"GET", path), "entries");
}

const picojson::value& Member(const picojson::value& object, const char* key) {
    static const picojson::value null;
    if (!object.is<picojson::object>()) return null;
    const auto& members = object.get<picojson::object>();
    const auto it = members.find(key);
    return it == members.end() ? null : it->second;
}

std::string Text(const picojson::value& value, const char* key) {
    const picojson::value& member = Member(value, key);
    return member.is<std::string>() ? member.get<std::string>() : std::string();
}

double Number(const picojson::value& value, const char* key) {
    const picojson::value& member = Member(value, key);
    return member.is<double>() ? member.get<double>() : -1;
}

}  // namespace upload_test
