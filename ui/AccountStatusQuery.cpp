// The settings dialog's account status query: a logon with the typed
// account, the service's status answer, and the status dialog.
#include <picojson.h>

#include <climits>
#include <cmath>

#include "service/HttpBase.h"
#include "service/JsonDepth.h"
#include "service/TextCodec.h"
#include "support/Log.h"
#include "ui/MeishiServiceSettingDlg.h"
#include "ui/MeishiServiceStatusDlg.h"
#include "upload/MeishiUpload.h"
#include "upload/ServiceResult.h"

namespace tessaran {

namespace {

// A string member decoded into 128 UTF-16 units (a longer value keeps its
// first 127); empty when missing or not a string.
std::wstring ReadText(const picojson::object& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->second.is<std::string>()) return {};
    wchar_t text[128] = {};
    if (DecodeUtf8(found->second.get<std::string>().c_str(), text, 128) < 0) text[127] = L'\0';
    return text;
}

// A number member truncated toward zero; 0 when missing or not a number.
// Values beyond the 32-bit range are held at its ends rather than wrapped.
int ReadCount(const picojson::object& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->second.is<double>()) return 0;
    const double value = std::trunc(found->second.get<double>());
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

void CMeishiServiceSettingDlg::QueryAccountStatus(const std::wstring& mailAddress, const std::wstring& appToken) {
    const std::wstring caption = LocalizeText("Error");
    const UINT style = ErrorMessageBoxStyle();

    std::string body;
    {
        // The dialog's own messages go on while the service is asked, so that
        // its Cancel can give the query up; nothing else of it starts meanwhile.
        m_queryCancel.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_querying = true;
        struct QueryEnd {
            bool& querying;
            ~QueryEnd() { querying = false; }
        } queryEnd{m_querying};

        // One client pair for this query, gone when it ends whatever the outcome.
        CMeishiUpload upload(m_services.trustAnyCertificate);
        upload.SetCancelEvent(m_queryCancel.get());
        upload.SetPumpMessages(true);
        int result = upload.ServerLogin(m_services.cardService.host.c_str(), mailAddress.c_str(), appToken.c_str(),
                                        m_services.cardService.port);
        if (!IsServiceSuccess(result)) {
            LogWrite(LOG_ERROR, L"OnBnClickedStatusBtn() ServerLogin Error = %d", result);
            if (result != kServiceCancelled) MessageBox(GetMessageText(result).c_str(), caption.c_str(), style);
            return;
        }
        result = upload.m_Http.Get_m_User_status(&body);
        if (!IsServiceSuccess(result)) {
            LogWrite(LOG_ERROR, L"OnBnClickedStatusBtn() Get_m_User_status Error = %d", result);
            upload.ServerLogout();
            if (result != kServiceCancelled) MessageBox(GetMessageText(result).c_str(), caption.c_str(), style);
            return;
        }
        result = upload.ServerLogout();
        if (!IsServiceSuccess(result)) LogWrite(LOG_ERROR, L"OnBnClickedStatusBtn() ServerLogout Error = %d", result);
        // Cancelled during the logoff: the status came, but the user is leaving.
        if (m_closeAfterQuery) return;
    }

    picojson::value answer;
    try {
        if (JsonNestedWithin(body.data(), body.data() + body.size())) picojson::parse(answer, body);
    } catch (const std::exception&) {
        // The parser throws on a number beyond a double's range; such an
        // answer is as unusable as one that is not an object at all.
        answer = picojson::value();
    }
    if (!answer.is<picojson::object>()) {
        LogWrite(LOG_ERROR, L"OnBnClickedStatusBtn() ServerLogout  v.is<picojson::object>() == false");
        MessageBox(L"ステータス情報を取得できませんでした。", caption.c_str(), style);
        return;
    }
    const picojson::object& status = answer.get<picojson::object>();
    CMeishiServiceStatusDlg dialog;
    dialog.m_strAccountName = ReadText(status, "accountname");
    dialog.m_strUserName = ReadText(status, "username");
    dialog.m_nMaxCount = ReadCount(status, "max_count");
    dialog.m_nUseCount = ReadCount(status, "use_count");
    dialog.DoModal();
}

}  // namespace tessaran
