// What the write road does when a flat file no longer holds what the rows
// record of it: deleted or cut short from outside, or a row whose recorded
// location is unusable. No row may ever read bytes that were written for
// another extent.

#include "service/MainRoadSupport.h"

#include <vector>

namespace {

class FlatFileIntegrityTest : public MainRoadTest {
protected:
    // The flat file's path relative to the data folder, as a row records it.
    std::string RelativeFlatFile() {
        Extent row(0, 0, 0, 0, 0);
        EXPECT_TRUE(Row(0, row));
        const std::string location = row.CacheLocation.substr(4);
        return location.substr(0, location.find(':'));
    }
};

TEST_F(FlatFileIntegrityTest, ARowWithAnUnusableLocationFailsReadsAndIsReplacedByAWrite) {
    ASSERT_FALSE(WriteExtent(0, Payload(100, 1)).IsError());
    const std::string relative = RelativeFlatFile();
    const std::vector<std::string> locations = {
        "loc:../" + relative + ":0:100",   "loc:/" + relative + ":0:100", "loc:" + relative + ":-1:100",
        "loc:" + relative + ":0:-100",     "loc:" + relative,             "loc:a/../../" + relative + ":0:100"};
    unsigned seed = 10;
    for (const std::string& location : locations) {
        Extent row(0, 0, 0, 0, 0);
        ASSERT_TRUE(Row(0, row));
        row.TessarelID = kTessarel;
        row.CopyID = kCopy;
        row.CacheLocation = location;
        row.ValidityGUID = VMRow().ValidityGUID;
        ASSERT_FALSE(DB()->UpdateExtent(row).IsError());

        CZoError err;
        EXPECT_EQ("", ReadExtent(0, err)) << location;
        EXPECT_TRUE(FXErrorUtil::IsInt(err, 37)) << location << ": " << err.AsString();

        const std::string bytes = Payload(100, ++seed);
        err = WriteExtent(0, bytes);
        ASSERT_FALSE(err.IsError()) << location << ": " << err.AsString();
        EXPECT_EQ(bytes, ReadExtent(0, err)) << location << ": " << err.AsString();
    }
}

}  // namespace
