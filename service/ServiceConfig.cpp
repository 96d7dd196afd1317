#include "service/ServiceConfig.h"

#include <cwctype>

#include "support/Log.h"

namespace tessaran {

namespace {

bool IsHostNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' ||
           c == L'.' || c == L'_';
}

bool IsAddressV6Char(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F') || c == L':' ||
           c == L'.';
}

std::wstring Trim(const std::wstring& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::iswspace(text[first])) ++first;
    while (last > first && std::iswspace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

bool ParsePort(const std::wstring& text, uint16_t* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (value < 1 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

void ReadEndpoint(const std::map<std::wstring, std::wstring>& appConfig, const wchar_t* key,
                  ServiceEndpoint* endpoint) {
    const auto entry = appConfig.find(key);
    if (entry == appConfig.end()) return;
    ServiceEndpoint parsed;
    if (ParseServiceEndpoint(entry->second, &parsed)) {
        *endpoint = parsed;
    } else {
        // The default host never resolves, so a typo cannot reach a stranger.
        LogWrite(LOG_ERROR, L"AppConfig %s: not a host or host:port: \"%s\"", key, entry->second.c_str());
    }
}

}  // namespace

bool ParseServiceEndpoint(const std::wstring& text, ServiceEndpoint* endpoint) {
    const std::wstring value = Trim(text);
    std::wstring host;
    std::wstring portText;
    bool hasPort = false;
    if (!value.empty() && value[0] == L'[') {
        const size_t close = value.find(L']');
        if (close == std::wstring::npos) return false;
        host = value.substr(1, close - 1);
        const std::wstring rest = value.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != L':') return false;
            portText = rest.substr(1);
            hasPort = true;
        }
        if (host.empty()) return false;
        for (wchar_t c : host) {
            if (!IsAddressV6Char(c)) return false;
        }
    } else {
        const size_t colon = value.find(L':');
        host = value.substr(0, colon);
        if (colon != std::wstring::npos) {
            portText = value.substr(colon + 1);
            hasPort = true;
        }
        if (host.empty()) return false;
        for (wchar_t c : host) {
            if (!IsHostNameChar(c)) return false;
        }
    }
    uint16_t port = 443;
    if (hasPort && !ParsePort(portText, &port)) return false;
    endpoint->host = host;
    endpoint->port = port;
    return true;
}

ServiceConfig ServiceConfig::FromAppConfig(const std::map<std::wstring, std::wstring>& appConfig) {
    ServiceConfig config;
    ReadEndpoint(appConfig, L"cardServiceHost", &config.cardService);
    ReadEndpoint(appConfig, L"ocrServiceHost", &config.ocrService);
    const auto trust = appConfig.find(L"trustAnyCertificate");
    config.trustAnyCertificate = trust != appConfig.end() && Trim(trust->second) == L"1";
    const auto ahead = appConfig.find(L"ocrRequestsAhead");
    if (ahead != appConfig.end()) {
        const std::wstring text = Trim(ahead->second);
        if (text.size() == 1 && text[0] >= L'0' && text[0] - L'0' <= kMaxOcrRequestsAhead) {
            config.ocrRequestsAhead = text[0] - L'0';
        } else {
            LogWrite(LOG_ERROR, L"AppConfig ocrRequestsAhead: not a number from 0 to %d: \"%s\"; %d is used",
                     kMaxOcrRequestsAhead, ahead->second.c_str(), kDefaultOcrRequestsAhead);
        }
    }
    return config;
}

}  // namespace tessaran
