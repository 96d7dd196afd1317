// Where the two web services are, how far their certificates are trusted and
// how many cards are read ahead, from the "AppConfig.XML" entries the
// controller read:
//   cardServiceHost, ocrServiceHost   "host" or "host:port" (port 443 when none)
//   trustAnyCertificate               "1" accepts any certificate (test and staging only)
//   ocrRequestsAhead                  0 to 8: OCR requests out for the cards after the
//                                     one being sent (0: each card's when it is reached)
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

// Three OCR requests ahead keep the OCR service's 700 ms per card off an
// office line's critical path (the card service's own chain takes about
// 500 ms a card there) with room to spare; more only hold more images and
// connections. Measured by tools/bench.sh (the office line section).
constexpr int kDefaultOcrRequestsAhead = 3;
constexpr int kMaxOcrRequestsAhead = 8;

struct ServiceConfig {
    ServiceEndpoint cardService{kDefaultCardServiceHost, 443};
    ServiceEndpoint ocrService{kDefaultOcrServiceHost, 443};
    bool trustAnyCertificate = false;
    int ocrRequestsAhead = kDefaultOcrRequestsAhead;

    // A missing or malformed entry keeps its default (a malformed one is logged).
    static ServiceConfig FromAppConfig(const std::map<std::wstring, std::wstring>& appConfig);
};

// "host", "host:port", "[v6-address]" or "[v6-address]:port", with white space
// around it ignored. False for an empty host, a port outside 1..65535, or
// characters no host name holds.
bool ParseServiceEndpoint(const std::wstring& text, ServiceEndpoint* endpoint);

}  // namespace tessaran
