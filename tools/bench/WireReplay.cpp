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
// "status METHOD PATH CODE" for each answer outside 200 to 299, the
// process's peak working set ("memory peak_working_set=BYTES") and its
// private bytes before the first, the middle and the last card's OCR request
// ("cards N private first=BYTES half=BYTES last=BYTES"), and the processor
// time the exchanges took ("cpu user_ms=MS kernel_ms=MS", every thread of the
// process from the first request to the last).
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/Handles.h"
#include "tools/hostsim/ProcessMemory.h"

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

// Reads the recording a piece at a time, so that a long run's bodies are
// never all in memory at once and the replay's own figures stay WinINet's.
class Reader {
public:
    explicit Reader(const wchar_t* path)
        : m_file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {
        if (!m_file) throw std::runtime_error("cannot open the recording");
    }
    std::string Line() {
        std::string line;
        for (;;) {
            if (m_pos == m_end && !Fill()) throw std::runtime_error("the file ends early");
            const char* begin = m_buffer + m_pos;
            const char* newline = static_cast<const char*>(std::memchr(begin, '\n', m_end - m_pos));
            if (newline) {
                line.append(begin, static_cast<size_t>(newline - begin));
                m_pos += static_cast<size_t>(newline - begin) + 1;
                return line;
            }
            line.append(begin, m_end - m_pos);
            m_pos = m_end;
        }
    }
    // The text after "word " on the next line.
    std::string Field(const char* word) {
        const std::string line = Line();
        const std::string head = std::string(word) + " ";
        if (line.compare(0, head.size(), head) != 0) throw std::runtime_error("expected " + head + "in: " + line);
        return line.substr(head.size());
    }
    // count bytes and the line end after them, into bytes (whose room is kept).
    void Bytes(size_t count, std::string& bytes) {
        bytes.clear();
        bytes.reserve(count);
        while (bytes.size() < count) {
            if (m_pos == m_end && !Fill()) throw std::runtime_error("a body runs past the end");
            const size_t take = std::min(count - bytes.size(), m_end - m_pos);
            bytes.append(m_buffer + m_pos, take);
            m_pos += take;
        }
        if (Line() != "") throw std::runtime_error("a body is longer than its length");
    }

private:
    bool Fill() {
        DWORD read = 0;
        if (!::ReadFile(m_file.get(), m_buffer, sizeof(m_buffer), &read, nullptr) || read == 0) return false;
        m_pos = 0;
        m_end = read;
        return true;
    }

    UniqueFile m_file;
    char m_buffer[65536];
    size_t m_pos = 0;
    size_t m_end = 0;
};

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

struct Header {
    std::string agent;
    std::string host;
    INTERNET_PORT port = 0;
    size_t count = 0;
};

Header ReadHeader(Reader& reader) {
    if (reader.Line() != "wirereplay 1") throw std::runtime_error("not a recording of this kind");
    Header header;
    header.agent = reader.Field("agent");
    header.host = reader.Field("host");
    header.port = static_cast<INTERNET_PORT>(std::strtoul(reader.Field("port").c_str(), nullptr, 10));
    header.count = std::strtoul(reader.Field("requests").c_str(), nullptr, 10);
    return header;
}

// Into request, whose room is kept from one request to the next: the
// replay's own allocations must not grow the process with the run's length.
void ReadRequest(Reader& reader, Request& request) {
    request.headers.clear();
    request.captureOriginal.clear();
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
    reader.Bytes(std::strtoul(reader.Field("body").c_str(), nullptr, 10), request.body);
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
    Reader reader(path);
    const Header recording = ReadHeader(reader);
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
    Request request;
    request.body.reserve(1 << 20);
    answer.reserve(1 << 20);
    std::vector<unsigned long long> cards;  // private bytes before each card
    cards.reserve(recording.count);
    double userBefore = 0;
    double kernelBefore = 0;
    const bool timed = hostsim::ReadProcessTimes(userBefore, kernelBefore);
    for (size_t i = 0; i < recording.count; ++i) {
        // Read and made ready outside the clock: a client sends these bytes as they are.
        ReadRequest(reader, request);
        std::string headerText;
        for (std::string& header : request.headers) {
            for (const auto& pair : replaced) ReplaceAll(header, pair.first, pair.second);
            headerText += header + "\r\n";
        }
        for (const auto& pair : replaced) {
            ReplaceAll(request.path, pair.first, pair.second);
            ReplaceAll(request.body, pair.first, pair.second);
        }
        if (request.path.compare(0, 9, "/CardOCR/") == 0) cards.push_back(hostsim::PrivateBytes());
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
    double userAfter = 0;
    double kernelAfter = 0;
    const bool timedAfter = timed && hostsim::ReadProcessTimes(userAfter, kernelAfter);
    begin = Now();
    connection.reset();
    session.reset();
    setup += Now() - begin;

    std::printf("replay: requests=%u failed=%u total_ms=%.3f setup_ms=%.3f\n",
                static_cast<unsigned>(recording.count), static_cast<unsigned>(failures.size()),
                milliseconds(total + setup), milliseconds(setup));
    for (const auto& kind : kinds) {
        std::printf("kind %s %d %.3f\n", kind.first.c_str(), kind.second.first, milliseconds(kind.second.second));
    }
    for (const std::string& failure : failures) std::printf("status %s\n", failure.c_str());
    // What WinINet alone costs the process, to set beside the host's figures.
    hostsim::ProcessMemory memory;
    if (hostsim::ReadProcessMemory(memory)) std::printf("memory peak_working_set=%llu\n", memory.peakWorkingSet);
    if (!cards.empty()) {
        std::printf("cards %u private first=%llu half=%llu last=%llu\n", static_cast<unsigned>(cards.size()),
                    cards.front(), cards[cards.size() / 2], cards.back());
    }
    if (timedAfter) std::printf("cpu user_ms=%.1f kernel_ms=%.1f\n", userAfter - userBefore, kernelAfter - kernelBefore);
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
