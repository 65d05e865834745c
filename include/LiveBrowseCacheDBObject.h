#pragma once
// The empty polymorphic root of every database record and record collection:
// it gives them a dynamic type and lets them be deleted through a base pointer.

class LiveBrowseCacheDBObject {
public:
    LiveBrowseCacheDBObject() = default;
    LiveBrowseCacheDBObject(const LiveBrowseCacheDBObject&) = default;
    LiveBrowseCacheDBObject& operator=(const LiveBrowseCacheDBObject&) = default;
    virtual ~LiveBrowseCacheDBObject() = default;
};
