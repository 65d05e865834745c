#pragma once
// The platform objects that answer the machine's identity. Like
// XKPlatformInfo they read the one process-wide store (set through
// XKPlatformInfo::TEST_SetJobResultsDirectory and friends, or the [Platform]
// section of the configuration file); make one for a call and drop it after.

#include <string>

class XKPI_HubClient {
public:
    XKPI_HubClient() = default;
    ~XKPI_HubClient() = default;

    // The job results folder of the machine; never empty. One folder serves
    // every machine name.
    std::string getJobResultsDirectory(const std::string& machine) const;
};

class XKPI_PlatformBase {
public:
    XKPI_PlatformBase() = default;
    virtual ~XKPI_PlatformBase() = default;

    // The control server's host name; empty when not set.
    std::string getHubServerHostName() const;
};

// The media agent's view of the platform; it answers what the base answers.
class XKPI_MediaAgent : public XKPI_PlatformBase {
public:
    XKPI_MediaAgent() = default;
    ~XKPI_MediaAgent() override = default;
};

// The process's focus text (empty at start).
class XKPI_Focus {
public:
    XKPI_Focus() = default;
    ~XKPI_Focus() = default;

    static std::string getFocus();
    static void setFocus(const std::string& focus);
};
