#include "Standin.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include "common/TestPaths.h"
#include "support/Handles.h"

using tessaran::UniqueHInternet;

namespace tessaran_test {

namespace {

std::string Base64Decode(const std::string& text) {
    if (text.empty()) return std::string();
    DWORD size = 0;
    if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size,
                                nullptr, nullptr)) {
        ADD_FAILURE() << "journal body is not Base64";
        return std::string();
    }
    std::string bytes(size, '\0');
    ::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                           reinterpret_cast<BYTE*>(&bytes[0]), &size, nullptr, nullptr);
    bytes.resize(size);
    return bytes;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string JournalEntry::Header(const std::string& name) const {
    std::string value;
    int found = 0;
    for (const auto& header : headers) {
        if (Lower(header.first) == Lower(name)) {
            value = header.second;
            ++found;
        }
    }
    EXPECT_LE(found, 1) << "header " << name << " repeated in " << method << " " << path;
    return value;
}

int JournalEntry::HeaderCount(const std::string& name) const {
    int found = 0;
    for (const auto& header : headers) {
        if (Lower(header.first) == Lower(name)) ++found;
    }
    return found;
}

Standin::Standin() {
    const std::wstring port = Env(L"STANDIN_PORT");
    if (port.empty()) return;
    m_port = static_cast<uint16_t>(std::wcstoul(port.c_str(), nullptr, 10));
    m_host = Env(L"STANDIN_HOST");
    if (m_host.empty()) m_host = L"127.0.0.1";
}

picojson::value Standin::Control(const wchar_t* verb, const std::wstring& path, const std::string& body) {
    // A client of its own, independent of the code under test. WinINet pools
    // kept-alive connections per host name across sessions; under another
    // name for the same address the control calls never share a connection
    // with the plug-in's requests, so they neither disturb nor count in them.
    UniqueHInternet session(::InternetOpenW(L"standin-control", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    UniqueHInternet connection(::InternetConnectW(session.get(), L"localhost", m_port, nullptr, nullptr,
                                                  INTERNET_SERVICE_HTTP, 0, 0));
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_IGNORE_CERT_CN_INVALID |
                        INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
    UniqueHInternet request(
        ::HttpOpenRequestW(connection.get(), verb, path.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (!request) {
        ADD_FAILURE() << "control request not opened: " << ::GetLastError();
        return picojson::value();
    }
    DWORD security = 0;
    DWORD length = sizeof(security);
    ::InternetQueryOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &length);
    security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    ::InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
    const wchar_t headers[] = L"Content-Type: application/json\r\n";
    if (!::HttpSendRequestW(request.get(), headers, static_cast<DWORD>(-1), const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size()))) {
        ADD_FAILURE() << "control request not sent: " << ::GetLastError();
        return picojson::value();
    }
    DWORD status = 0;
    length = sizeof(status);
    ::HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr);
    std::string answer;
    char chunk[16384];
    DWORD read = 0;
    while (::InternetReadFile(request.get(), chunk, sizeof(chunk), &read) && read) answer.append(chunk, read);
    EXPECT_EQ(status, 200u) << "control " << ToUtf8(path) << ": " << answer;
    picojson::value value;
    const std::string error = picojson::parse(value, answer);
    EXPECT_TRUE(error.empty()) << error;
    return value;
}

void Standin::Reset() { Control(L"POST", L"/_control/reset", "{}"); }

void Standin::AddAccount(const std::string& mail, const std::string& token, int limit) {
    picojson::object account;
    account["mail"] = picojson::value(mail);
    account["token"] = picojson::value(token);
    account["limit"] = picojson::value(static_cast<double>(limit));
    Control(L"POST", L"/_control/accounts", picojson::value(account).serialize());
}

void Standin::QueueFault(const picojson::object& fault) {
    Control(L"POST", L"/_control/faults", picojson::value(fault).serialize());
}

void Standin::ExpireSessions() { Control(L"POST", L"/_control/expire_sessions", "{}"); }

void Standin::SetOneSessionPerAccount(bool on) {
    Control(L"POST", L"/_control/options", on ? "{\"one_session\": true}" : "{\"one_session\": false}");
}

std::vector<JournalEntry> Standin::Journal() {
    std::vector<JournalEntry> entries;
    const picojson::value listing = Control(L"GET", L"/_control/journal");
    if (!listing.is<picojson::object>()) return entries;
    for (const picojson::value& item : listing.get("entries").get<picojson::array>()) {
        JournalEntry entry;
        entry.method = item.get("method").to_str();
        entry.path = item.get("path").to_str();
        for (const picojson::value& header : item.get("headers").get<picojson::array>()) {
            entry.headers.emplace_back(header.get(0).to_str(), header.get(1).to_str());
        }
        entry.body = Base64Decode(item.get("body_b64").to_str());
        if (item.get("status").is<double>()) entry.status = static_cast<int>(item.get("status").get<double>());
        entry.outcome = item.get("outcome").is<std::string>() ? item.get("outcome").to_str() : "";
        if (item.get("connection").is<double>()) entry.connection = static_cast<int>(item.get("connection").get<double>());
        entries.push_back(std::move(entry));
    }
    return entries;
}

picojson::array Standin::Cards() {
    const picojson::value listing = Control(L"GET", L"/_control/cards");
    return listing.get("cards").is<picojson::array>() ? listing.get("cards").get<picojson::array>()
                                                      : picojson::array();
}

picojson::array Standin::OcrRequests() {
    const picojson::value listing = Control(L"GET", L"/_control/ocr_requests");
    return listing.get("requests").is<picojson::array>() ? listing.get("requests").get<picojson::array>()
                                                         : picojson::array();
}

std::vector<std::string> Standin::SessionIds() {
    std::vector<std::string> ids;
    const picojson::value listing = Control(L"GET", L"/_control/sessions");
    if (!listing.get("sessions").is<picojson::array>()) return ids;
    for (const picojson::value& session : listing.get("sessions").get<picojson::array>()) {
        ids.push_back(session.get("id").to_str());
    }
    return ids;
}

std::wstring LoopbackAlias(Alias alias) {
    // Short and numeric forms of the loopback address that the resolver accepts.
    static const wchar_t* const kNames[] = {L"127.1", L"127.0.1", L"2130706433"};
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Alias::kCount), "one name per use");
    return kNames[static_cast<size_t>(alias)];
}

picojson::object Fault(const std::string& pathPrefix, const std::string& action, int status) {
    picojson::object fault;
    fault["path_prefix"] = picojson::value(pathPrefix);
    fault["action"] = picojson::value(action);
    fault["status"] = picojson::value(static_cast<double>(status));
    return fault;
}

picojson::array Texts(std::initializer_list<const char*> texts) {
    picojson::array array;
    for (const char* text : texts) array.emplace_back(std::string(text));
    return array;
}

bool RunningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string FieldPart(const std::string& name, const std::string& value) {
    return "--" + std::string(tessaran::kFormBoundary) + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n" + value + "\r\n";
}

std::string FilePart(const std::string& name, const std::string& fileName, const std::string& content) {
    return "--" + std::string(tessaran::kFormBoundary) + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" + content +
           "\r\n";
}

std::string ClosingDelimiter() { return "--" + std::string(tessaran::kFormBoundary) + "--\r\n"; }

std::wstring WideString(const picojson::object& object, const std::string& key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->second.is<std::string>()) return L"<missing>";
    return FromUtf8(found->second.get<std::string>());
}

}  // namespace tessaran_test
