#pragma once
// MD5 digest (RFC 1321) of a byte stream: Start, any number of Process calls,
// End, then GetCode. One digest per object at a time; not shared between threads.

#include <cstdint>

class CMd5 {
public:
    CMd5() = default;
    ~CMd5();
    CMd5(const CMd5&) = delete;
    CMd5& operator=(const CMd5&) = delete;

    // Begins a new digest, dropping any earlier one.
    void Start();
    // Adds length bytes; starts a digest first when none is running.
    void Process(const void* data, uint32_t length);
    // Completes the digest (of no bytes when nothing was processed); a
    // second End keeps the completed one.
    void End();
    // Copies the 16 digest bytes; false, and nothing copied, unless End has
    // completed a digest (the digest engine can fail only when out of memory).
    bool GetCode(unsigned char* code) const;

private:
    void Reset();

    // state of the current digest
    void* context = nullptr;  // EVP_MD_CTX of the running digest; owned
    bool failed = false;      // an engine call failed since Start
    bool done = false;        // code holds a completed digest
    unsigned char code[16] = {};
};
