#include "platform/XKPlatformObjects.h"

#include "platform/XKPlatformStore.h"

std::string XKPI_HubClient::getJobResultsDirectory(const std::string&) const {
    return XKPlatformStore::Instance().JobResultsDirectory();
}

std::string XKPI_PlatformBase::getHubServerHostName() const { return XKPlatformStore::Instance().HubServerHostName(); }

std::string XKPI_Focus::getFocus() { return XKPlatformStore::Instance().Focus(); }

void XKPI_Focus::setFocus(const std::string& focus) { XKPlatformStore::Instance().SetFocus(focus); }
