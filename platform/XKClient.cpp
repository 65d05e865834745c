#include "platform/XKClient.h"

#include "platform/FXString.h"
#include "platform/LockOrder.h"

#include <mutex>

namespace {

struct ClientTable {
    RankedMutex mutex{LockRank::PlatformAnswers, "client id"};
    // guarded by mutex
    unsigned long clientId = XKClient::kDefaultClientId;
    int returnCode = 0;
    int calls = 0;
    std::string lastClientName;
    int lastNameType = 0;
};

// Never destroyed, like the configuration store it stands beside.
ClientTable& Table() {
    static ClientTable* table = new ClientTable;
    return *table;
}

}  // namespace

XKClient::XKClient(const std::string& clientName, int nameType, int, const char*)
    : clientName(clientName), nameType(nameType) {}

int XKClient::getClientId(unsigned long& clientId, std::string* reason) {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    ++t.calls;
    t.lastClientName = clientName;
    t.lastNameType = nameType;
    if (t.returnCode != 0) {
        if (reason != nullptr) *reason = FXString::Format("no client id for [%s]", clientName.c_str());
        return t.returnCode;
    }
    clientId = t.clientId;
    return 0;
}

void XKClient::TEST_ResetAll() {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.clientId = kDefaultClientId;
    t.returnCode = 0;
    t.calls = 0;
    t.lastClientName.clear();
    t.lastNameType = 0;
}

void XKClient::TEST_SetClientId(unsigned long clientId) {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.clientId = clientId;
}

void XKClient::TEST_SetReturnCode(int code) {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    t.returnCode = code;
}

int XKClient::TEST_Calls() {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.calls;
}

std::string XKClient::TEST_LastClientName() {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastClientName;
}

int XKClient::TEST_LastNameType() {
    ClientTable& t = Table();
    std::lock_guard<RankedMutex> guard(t.mutex);
    return t.lastNameType;
}
