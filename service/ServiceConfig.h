// Where the two web services are and how far their certificates are trusted,
// from the "AppConfig.XML" entries the controller read:
//   cardServiceHost, ocrServiceHost   "host" or "host:port" (port 443 when none)
//   trustAnyCertificate               "1" accepts any certificate (test and staging only)
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace tessaran {

// Reserved names that never resolve: an unconfigured plug-in cannot reach,
// and so cannot send a token to, any real host.
constexpr wchar_t kDefaultCardServiceHost[] = L"card.veltrano.example";
constexpr wchar_t kDefaultOcrServiceHost[] = L"ocr.veltrano.example";

struct ServiceEndpoint {
    std::wstring host;
    uint16_t port = 443;
};

struct ServiceConfig {
    ServiceEndpoint cardService{kDefaultCardServiceHost, 443};
    ServiceEndpoint ocrService{kDefaultOcrServiceHost, 443};
    bool trustAnyCertificate = false;

    // A missing or malformed entry keeps its default (a malformed one is logged).
    static ServiceConfig FromAppConfig(const std::map<std::wstring, std::wstring>& appConfig);
};

// "host", "host:port", "[v6-address]" or "[v6-address]:port", with white space
// around it ignored. False for an empty host, a port outside 1..65535, or
// characters no host name holds.
bool ParseServiceEndpoint(const std::wstring& text, ServiceEndpoint* endpoint);

}  // namespace tessaran
