#pragma once
// The machine identity client: the control server's numeric id of a client
// machine, looked up by its name. Here one process-wide answer that tests
// set (return code 0 and client id kDefaultClientId until set).
//
// All members are thread-safe.

#include <string>

class XKClient {
public:
    enum : unsigned long { kDefaultClientId = 2 };

    // nameType: how clientName is to be read (2: a client machine's name);
    // number and context qualify the lookup and are not read here.
    XKClient(const std::string& clientName, int nameType, int number, const char* context);
    ~XKClient() = default;
    XKClient(const XKClient&) = delete;
    XKClient& operator=(const XKClient&) = delete;

    // 0 and clientId set; otherwise a non-zero code, clientId unchanged and,
    // when reason is given, the cause in it.
    int getClientId(unsigned long& clientId, std::string* reason);

    static void TEST_ResetAll();
    static void TEST_SetClientId(unsigned long clientId);
    // A non-zero code makes every lookup answer it (0 disarms).
    static void TEST_SetReturnCode(int code);
    static int TEST_Calls();
    // The name and name type of the last lookup; empty and 0 when none.
    static std::string TEST_LastClientName();
    static int TEST_LastNameType();

private:
    const std::string clientName;
    const int nameType;
};
