#include "service/framework/EventMessages.h"

namespace kestrel::events {

std::vector<std::pair<std::uint32_t, std::wstring>> MessageTexts() {
    return {
        {kServiceInstalled, L"The %1 service was installed.\r\n"},
        {kServiceRemoved, L"The %1 service was removed.\r\n"},
        {kServiceNotRemoved, L"The %1 service could not be removed.\r\n"},
        {kHandlerNotInstalled, L"The control handler could not be installed.\r\n"},
        {kInitializationFailed, L"The initialization process failed.\r\n"},
        {kServiceStarted, L"The service was started.\r\n"},
        {kUnsupportedRequest, L"The service received an unsupported request.\r\n"},
        {kDebugMessage, L"Debug: %1\r\n"},
        {kServiceStopped, L"The service was stopped.\r\n"},
        {kDeviceChange, L"Kestrel Service received a device change notification.\r\n"},
    };
}

}  // namespace kestrel::events
