// The fixed-width card record: what the OCR answer fills and what the card
// registration sends. Text fields hold up to N-1 UTF-16 units and a zero.
#pragma once

#include <cstdint>

namespace tessaran {

struct MeishiAddress {
    wchar_t place[51];
    wchar_t zip[21];
    wchar_t country[51];
    wchar_t address1[201];
    wchar_t address2[201];
    wchar_t address3[201];
    wchar_t address4[201];
    int32_t addressOrder;
    wchar_t tel1[101];
    wchar_t tel4[101];
    wchar_t tel3[101];
    wchar_t tel2[101];
    wchar_t fax[101];
    wchar_t email[151];
    wchar_t url[101];
    wchar_t skype[101];
    wchar_t latitude[32];
    wchar_t longitude[32];
};

struct MeishiRecord {
    // Sync part.
    wchar_t sync_id[25];
    int64_t revision;
    uint8_t delete_flag;
    wchar_t modify_datetime[24];
    uint8_t share_flag;
    uint8_t correct_request;
    int32_t correct_status;
    wchar_t owner_username[65];
    uint8_t user_correct;
    wchar_t view_datetime[24];
    // Card part.
    int32_t nameorder;
    wchar_t lname[51];
    wchar_t lnamer[51];
    wchar_t fname[51];
    wchar_t fnamer[51];
    wchar_t cname[101];
    wchar_t cnamer[101];
    wchar_t prefix[51];
    wchar_t assign[151];
    wchar_t title[151];
    wchar_t group[51];
    wchar_t create_datetime[24];
    int32_t language;
    wchar_t creator[141];
    MeishiAddress address1;
    MeishiAddress address2;
};

}  // namespace tessaran
