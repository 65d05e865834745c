#pragma once
// The base of the generated messages of the messages library: fields are read
// and written by number; numbers are 64-bit, texts are addressed by two
// numbers. A field never set reads as 0 or as the empty text. Copies are deep.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

class CNMessageBase {
public:
    CNMessageBase(int messageClass, int messageType) : messageClass(messageClass), messageType(messageType) {}
    virtual ~CNMessageBase() = default;
    CNMessageBase(const CNMessageBase&) = default;
    CNMessageBase& operator=(const CNMessageBase&) = default;

    int getMessageClass() const { return messageClass; }
    int getMessageType() const { return messageType; }

    int64_t getint64(int field) const {
        auto it = numbers.find(field);
        return it == numbers.end() ? 0 : it->second;
    }
    void setint64(int field, int64_t value) { numbers[field] = value; }

    const std::string& getstringByRef(int field, int subField) const {
        static const std::string empty;
        auto it = texts.find(std::make_pair(field, subField));
        return it == texts.end() ? empty : it->second;
    }
    void setstring(int field, int subField, const std::string& value) {
        texts[std::make_pair(field, subField)] = value;
    }

private:
    int messageClass;
    int messageType;
    std::map<int, int64_t> numbers;
    std::map<std::pair<int, int>, std::string> texts;
};
