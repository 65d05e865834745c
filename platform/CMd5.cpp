#include "platform/CMd5.h"

#include <cstring>
#include <openssl/evp.h>

namespace {

EVP_MD_CTX* Ctx(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

}  // namespace

CMd5::~CMd5() {
    Reset();
}

void CMd5::Reset() {
    if (context != nullptr) EVP_MD_CTX_free(Ctx(context));
    context = nullptr;
    failed = false;
    done = false;
}

void CMd5::Start() {
    Reset();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) {
        failed = true;
        return;
    }
    context = ctx;
    if (EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) failed = true;
}

void CMd5::Process(const void* data, uint32_t length) {
    if (context == nullptr && !failed) Start();
    if (failed || length == 0) return;
    if (EVP_DigestUpdate(Ctx(context), data, length) != 1) failed = true;
}

void CMd5::End() {
    if (done) return;
    if (context == nullptr && !failed) Start();
    if (!failed) {
        unsigned int size = 0;
        unsigned char digest[EVP_MAX_MD_SIZE];
        if (EVP_DigestFinal_ex(Ctx(context), digest, &size) == 1 && size == sizeof(code)) {
            std::memcpy(code, digest, sizeof(code));
            done = true;
        } else {
            failed = true;
        }
    }
    if (context != nullptr) EVP_MD_CTX_free(Ctx(context));
    context = nullptr;
}

bool CMd5::GetCode(unsigned char* out) const {
    if (!done || failed || out == nullptr) return false;
    std::memcpy(out, code, sizeof(code));
    return true;
}
