// wirereplay: sends recorded requests again, in their order, through WinINet
// in one session with the plug-in's own request flags, and prints how long
// the exchanges took. What a run of the plug-in sent is the least that any
// client of the two services must spend; the benchmark compares the run
// with it.
//
// usage: wirereplay FILE
//
// FILE (written by tools/bench/run_bench.py from the stand-in's journal):
//   wirereplay 1\n  agent TEXT\n  host NAME\n  port N\n  requests COUNT\n
// then per request:
//   request METHOD PATH\n
//   capture none|cookie ORIGINAL|body ORIGINAL\n
//   headers K\n  K lines "Name: value"\n
//   body LENGTH\n  LENGTH bytes\n
// "capture" names a value the original exchange handed out (the session
// cookie of a logon, the sync ID of a sync ID request): the replay takes the
// value its own exchange hands out instead, and puts it wherever the original
// one stands in the requests after it.
//
// Output: "replay: requests=N failed=K total_ms=T setup_ms=S", then one line
// "kind PATH COUNT MS" per kind of request (paths without the sync ID), then
// "status METHOD PATH CODE" for each answer outside 200 to 299, and the
// process's peak working set ("memory peak_working_set=BYTES").
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/Handles.h"

using tessaran::UniqueFile;
using tessaran::UniqueHInternet;

namespace {

// The plug-in's request flags with its test servers' certificate rules.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
constexpr DWORD kTimeoutMs = 300000;
constexpr DWORD kReadStep = 16384;

struct Request {
    std::string method;
    std::string path;
    std::string captureKind;  // none, cookie or body
    std::string captureOriginal;
    std::vector<std::string> headers;
    std::string body;
};

struct Recording {
    std::string agent;
    std::string host;
    INTERNET_PORT port = 0;
    std::vector<Request> requests;
};

class Reader {
public:
    explicit Reader(std::string data) : m_data(std::move(data)) {}
    std::string Line() {
        const size_t end = m_data.find('\n', m_pos);
        if (end == std::string::npos) throw std::runtime_error("the file ends early");
        std::string line = m_data.substr(m_pos, end - m_pos);
        m_pos = end + 1;
        return line;
    }
    // The text after "word " on the next line.
    std::string Field(const char* word) {
        const std::string line = Line();
        const std::string head = std::string(word) + " ";
        if (line.compare(0, head.size(), head) != 0) throw std::runtime_error("expected " + head + "in: " + line);
        return line.substr(head.size());
    }
    std::string Bytes(size_t count) {
        if (m_pos + count + 1 > m_data.size()) throw std::runtime_error("a body runs past the end");
        std::string bytes = m_data.substr(m_pos, count);
        m_pos += count + 1;
        return bytes;
    }

private:
    std::string m_data;
    size_t m_pos = 0;
};

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string ReadWhole(const wchar_t* path) {
    UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) throw std::runtime_error("cannot open the recording");
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file.get(), &size);
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!data.empty() && (!::ReadFile(file.get(), &data[0], static_cast<DWORD>(data.size()), &read, nullptr) ||
                          read != data.size())) {
        throw std::runtime_error("cannot read the recording");
    }
    return data;
}

Recording Parse(std::string data) {
    Reader reader(std::move(data));
    if (reader.Line() != "wirereplay 1") throw std::runtime_error("not a recording of this kind");
    Recording recording;
    recording.agent = reader.Field("agent");
    recording.host = reader.Field("host");
    recording.port = static_cast<INTERNET_PORT>(std::strtoul(reader.Field("port").c_str(), nullptr, 10));
    const size_t count = std::strtoul(reader.Field("requests").c_str(), nullptr, 10);
    for (size_t i = 0; i < count; ++i) {
        Request request;
        const std::string line = reader.Field("request");
        const size_t space = line.find(' ');
        request.method = line.substr(0, space);
        request.path = space == std::string::npos ? std::string() : line.substr(space + 1);
        const std::string capture = reader.Field("capture");
        const size_t split = capture.find(' ');
        request.captureKind = capture.substr(0, split);
        if (split != std::string::npos) request.captureOriginal = capture.substr(split + 1);
        const size_t headers = std::strtoul(reader.Field("headers").c_str(), nullptr, 10);
        for (size_t h = 0; h < headers; ++h) request.headers.push_back(reader.Line());
        request.body = reader.Bytes(std::strtoul(reader.Field("body").c_str(), nullptr, 10));
        recording.requests.push_back(std::move(request));
    }
    return recording;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty() || from == to) return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The kind of a request: its path without the sync ID that ends a back image's path.
std::string Kind(const std::string& path) {
    static const std::string backImage = "/service/m_card/backimage/";
    if (path.compare(0, backImage.size(), backImage) == 0) return backImage;
    return path.substr(0, path.find('?'));
}

LONGLONG Now() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

std::string SessionCookie(HINTERNET request) {
    char text[4097] = {};
    DWORD length = sizeof(text) - 1;
    DWORD index = 0;
    if (!::HttpQueryInfoA(request, HTTP_QUERY_SET_COOKIE, text, &length, &index)) return std::string();
    const std::string header(text);
    const size_t at = header.find("JSESSIONID=");
    if (at == std::string::npos) return std::string();
    const size_t begin = at + 11;
    return header.substr(begin, header.find(';', begin) - begin);
}

int Replay(const wchar_t* path) {
    Recording recording = Parse(ReadWhole(path));
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    auto milliseconds = [&](LONGLONG ticks) { return static_cast<double>(ticks) * 1000.0 / frequency.QuadPart; };

    LONGLONG setup = 0;
    LONGLONG begin = Now();
    UniqueHInternet session(
        ::InternetOpenW(Wide(recording.agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) throw std::runtime_error("InternetOpen failed");
    for (DWORD option : {static_cast<DWORD>(INTERNET_OPTION_CONNECT_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_RECEIVE_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_SEND_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_DATA_SEND_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT)}) {
        DWORD timeout = kTimeoutMs;
        ::InternetSetOptionW(session.get(), option, &timeout, sizeof(timeout));
    }
    UniqueHInternet connection(::InternetConnectW(session.get(), Wide(recording.host).c_str(), recording.port,
                                                  nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) throw std::runtime_error("InternetConnect failed");
    setup += Now() - begin;

    std::vector<std::pair<std::string, std::string>> replaced;  // original value, this replay's
    std::map<std::string, std::pair<int, LONGLONG>> kinds;
    std::vector<std::string> failures;
    LONGLONG total = 0;
    std::vector<char> answer;
    for (Request& request : recording.requests) {
        // Made ready outside the clock: a client sends these bytes as they are.
        std::string headerText;
        for (std::string& header : request.headers) {
            for (const auto& pair : replaced) ReplaceAll(header, pair.first, pair.second);
            headerText += header + "\r\n";
        }
        for (const auto& pair : replaced) {
            ReplaceAll(request.path, pair.first, pair.second);
            ReplaceAll(request.body, pair.first, pair.second);
        }
        const std::wstring verb = Wide(request.method);
        const std::wstring target = Wide(request.path);
        const std::wstring headers = Wide(headerText);

        const LONGLONG start = Now();
        UniqueHInternet handle(::HttpOpenRequestW(connection.get(), verb.c_str(), target.c_str(), nullptr, nullptr,
                                                  nullptr, kRequestFlags, 0));
        if (!handle) throw std::runtime_error("HttpOpenRequest failed for " + request.path);
        DWORD security = 0;
        DWORD length = sizeof(security);
        if (::InternetQueryOptionW(handle.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, &length)) {
            security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            ::InternetSetOptionW(handle.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
        }
        const BOOL sent = ::HttpSendRequestW(
            handle.get(), headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()),
            request.body.empty() ? nullptr : &request.body[0], static_cast<DWORD>(request.body.size()));
        DWORD status = 0;
        length = sizeof(status);
        if (sent) {
            ::HttpQueryInfoW(handle.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                             nullptr);
        }
        std::string cookie = request.captureKind == "cookie" ? SessionCookie(handle.get()) : std::string();
        size_t received = 0;
        for (;;) {
            answer.resize(received + kReadStep);
            DWORD read = 0;
            if (!::InternetReadFile(handle.get(), answer.data() + received, kReadStep, &read) || read == 0) break;
            received += read;
        }
        handle.reset();
        const LONGLONG spent = Now() - start;

        total += spent;
        auto& kind = kinds[Kind(request.path)];
        ++kind.first;
        kind.second += spent;
        if (status < 200 || status > 299) {
            failures.push_back(request.method + " " + request.path + " " + std::to_string(status));
        }
        if (request.captureKind == "cookie" && !cookie.empty()) {
            replaced.emplace_back(request.captureOriginal, cookie);
        } else if (request.captureKind == "body" && received > 0) {
            replaced.emplace_back(request.captureOriginal, std::string(answer.data(), received));
        }
    }
    begin = Now();
    connection.reset();
    session.reset();
    setup += Now() - begin;

    std::printf("replay: requests=%u failed=%u total_ms=%.3f setup_ms=%.3f\n",
                static_cast<unsigned>(recording.requests.size()), static_cast<unsigned>(failures.size()),
                milliseconds(total + setup), milliseconds(setup));
    for (const auto& kind : kinds) {
        std::printf("kind %s %d %.3f\n", kind.first.c_str(), kind.second.first, milliseconds(kind.second.second));
    }
    for (const std::string& failure : failures) std::printf("status %s\n", failure.c_str());
    // What WinINet alone costs the process, to set beside the host's figures.
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) {
        std::printf("memory peak_working_set=%llu\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize));
    }
    return failures.empty() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wirereplay FILE\n");
        return 2;
    }
    try {
        return Replay(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wirereplay: %s\n", error.what());
        return 2;
    }
}
