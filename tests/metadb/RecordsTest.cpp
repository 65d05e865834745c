#include "DBObjectCollection.h"
#include "Extent.h"
#include "QueryParams.h"
#include "VM.h"
#include "metadb/DBObjectIteratorImplBase.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <climits>
#include <gtest/gtest.h>
#include <memory>
#include <set>

namespace {

TEST(Extent, ConstructorTakesJobLastAndLeavesTheRestBlank) {
    Extent e(5, 4096, 2, 1, 77);
    EXPECT_EQ(5, e.AfileID);
    EXPECT_EQ(4096, e.AfileOffset);
    EXPECT_EQ(2u, e.TessarelID);
    EXPECT_EQ(1u, e.CopyID);
    EXPECT_EQ(77, e.JobID);
    EXPECT_EQ(0, e.ExtentID);
    EXPECT_EQ(0, e.Flags);
    for (const std::string* text :
         {&e.CacheLocation, &e.Signature, &e.VMGUID, &e.DiskID, &e.ValidityGUID, &e.Reserved1})
        EXPECT_TRUE(text->empty());
}

TEST(Extent, UniqueKeyPutsCopyBeforeCellAndIgnoresJobAndFlags) {
    Extent e(5, 4096, 2, 1, 77);
    EXPECT_EQ("5_4096_1_2", e.AsUniqueKey());
    Extent other(5, 4096, 2, 1, 78);
    other.Flags = 2;
    EXPECT_EQ(e.AsUniqueKey(), other.AsUniqueKey());
    Extent swapped(5, 4096, 1, 2, 77);
    EXPECT_NE(e.AsUniqueKey(), swapped.AsUniqueKey());
    EXPECT_EQ("18446744073709551615_0_0_0", Extent(-1, 0, 0, 0, 0).AsUniqueKey());
}

TEST(Extent, BlankRecordKeyAndDescription) {
    Extent blank(0, 0, 0, 0, 0);
    EXPECT_EQ("0_0_0_0", blank.AsUniqueKey());
    EXPECT_EQ("afileID=[0] afileOffset=[0] cacheLocation[]", blank.description());
    Extent e(-1, 12, 0, 0, 0);
    e.CacheLocation = "loc:AB/f.cache:0:10";
    EXPECT_EQ("afileID=[18446744073709551615] afileOffset=[12] cacheLocation[loc:AB/f.cache:0:10]", e.description());
}

TEST(Extent, CopyCarriesAllThirteenFields) {
    Extent e(1, 2, 3, 4, 5);
    e.CacheLocation = "loc";
    e.Signature = "sig";
    e.ExtentID = 6;
    e.VMGUID = "vm";
    e.DiskID = "disk";
    e.Flags = 2;
    e.ValidityGUID = "valid";
    e.Reserved1 = "md5";
    Extent c(e);
    EXPECT_EQ(1, c.AfileID);
    EXPECT_EQ(2, c.AfileOffset);
    EXPECT_EQ(3u, c.TessarelID);
    EXPECT_EQ(4u, c.CopyID);
    EXPECT_EQ("loc", c.CacheLocation);
    EXPECT_EQ("sig", c.Signature);
    EXPECT_EQ(6, c.ExtentID);
    EXPECT_EQ("vm", c.VMGUID);
    EXPECT_EQ("disk", c.DiskID);
    EXPECT_EQ(5, c.JobID);
    EXPECT_EQ(2, c.Flags);
    EXPECT_EQ("valid", c.ValidityGUID);
    EXPECT_EQ("md5", c.Reserved1);
}

TEST(VM, DefaultIsBlankAndConstructorTakesItsOwnOrder) {
    VM blank;
    EXPECT_EQ("AfileID=[0] TessarelID=[0] CopyID=[0] VMGUID=[] jobID=[0] LastReferenceTime[0] validityGUID[]",
              blank.description());
    VM vm(2, 1, 812, "guid", 9, 1700000000, "valid");
    EXPECT_EQ(2u, vm.TessarelID);
    EXPECT_EQ(1u, vm.CopyID);
    EXPECT_EQ(812, vm.AfileID);
    EXPECT_EQ("guid", vm.GUID);
    EXPECT_EQ(9, vm.JobID);
    EXPECT_EQ(1700000000, vm.LastReferenceTime);
    EXPECT_EQ("valid", vm.ValidityGUID);
    EXPECT_EQ(
        "AfileID=[812] TessarelID=[2] CopyID=[1] VMGUID=[guid] jobID=[9] LastReferenceTime[1700000000] "
        "validityGUID[valid]",
        vm.description());
}

TEST(VM, MoveAssignmentTakesEveryFieldAndMovedFromKeepsItsNumbers) {
    VM source(2, 1, 812, "guid", 9, 1700000000, "valid");
    VM target(7, 7, 7, "old", 7, 7, "oldvalid");
    target = std::move(source);
    EXPECT_EQ("guid", target.GUID);
    EXPECT_EQ("valid", target.ValidityGUID);
    EXPECT_EQ(2u, target.TessarelID);
    EXPECT_EQ(1u, target.CopyID);
    EXPECT_EQ(812, target.AfileID);
    EXPECT_EQ(9, target.JobID);
    EXPECT_EQ(1700000000, target.LastReferenceTime);
    EXPECT_EQ(2u, source.TessarelID);
    EXPECT_EQ(1u, source.CopyID);
    EXPECT_EQ(812, source.AfileID);
    EXPECT_EQ(9, source.JobID);
    EXPECT_EQ(1700000000, source.LastReferenceTime);
}

TEST(VM, OrderComparesCellThenCopyUnsignedThenAfileSigned) {
    struct Case {
        VM a, b;
        bool aFirst, bFirst;
    } cases[] = {
        {VM(1, 9, 9, "", 0, 0, ""), VM(2, 0, 0, "", 0, 0, ""), true, false},
        {VM(2, 1, 9, "", 0, 0, ""), VM(2, 2, 1, "", 0, 0, ""), true, false},
        {VM(2, 1, 1, "", 0, 0, ""), VM(2, 0x80000000u, 1, "", 0, 0, ""), true, false},
        {VM(2, 1, LLONG_MIN, "", 0, 0, ""), VM(2, 1, 1, "", 0, 0, ""), true, false},
        {VM(0x80000000u, 0, 0, "", 0, 0, ""), VM(1, 0, 0, "", 0, 0, ""), false, true},
        // Only the three ids take part.
        {VM(2, 1, 5, "g1", 1, 100, "v1"), VM(2, 1, 5, "g2", 2, 200, "v2"), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.aFirst, c.a < c.b) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.bFirst, c.b < c.a) << c.a.description() << " vs " << c.b.description();
    }
    std::set<VM> vms{VM(2, 1, 5, "g1", 1, 100, "v1"), VM(2, 1, 5, "g2", 2, 200, "v2")};
    EXPECT_EQ(1u, vms.size());
}

TEST(QueryParams, NumbersStartAtZeroAndDescriptionsPrintTheirFormats) {
    ExtentParam key;
    EXPECT_EQ(0, key.AfileID);
    EXPECT_EQ(0, key.Flags);
    VMJobParam vmFilter;
    EXPECT_EQ(0, vmFilter.AfileID);
    EXPECT_EQ(0u, vmFilter.TessarelID);
    EXPECT_EQ(0u, vmFilter.CopyID);
    EXPECT_EQ(0, vmFilter.JobID);

    ExtentsParam filter;
    EXPECT_EQ("VM=[] JobID=[0] TRID=[0] CopyID=[0] AfileID=[0] Flags=[0]", filter.description());
    filter.Flags = -1;
    filter.VM = "g";
    filter.JobID = 7;
    filter.TessarelID = 2;
    filter.CopyID = 1;
    filter.AfileID = 12;
    EXPECT_EQ("VM=[g] JobID=[7] TRID=[2] CopyID=[1] AfileID=[12] Flags=[-1]", filter.description());

    vmFilter.AfileID = 12;
    vmFilter.VM = "g";
    vmFilter.JobID = 7;
    vmFilter.TessarelID = 2;
    vmFilter.CopyID = 1;
    EXPECT_EQ("AfileID=[12] VM=[g] JobID=[7] TRID=[2] CopyID=[1]", vmFilter.description());
}

TEST(DBObjectCollection, NewCollectionIsEmptyAtOffsetZero) {
    DBObjectCollection<Extent> c;
    EXPECT_EQ(0u, c.count());
    EXPECT_EQ(0u, c.getBatchOffset());
    auto it = c.iterator();
    EXPECT_TRUE(c.isEnd(it));
    EXPECT_TRUE(c.getContext().empty());
}

TEST(DBObjectCollection, PrepareAddsTheCountAndClearKeepsTheOffset) {
    DBObjectCollection<VM> c;
    c.prepareForNextBatch();
    EXPECT_EQ(0u, c.getBatchOffset());
    for (size_t batch : {50u, 50u, 20u}) {
        for (size_t i = 0; i < batch; ++i) {
            VM vm(1, 1, static_cast<long long>(i), "", 0, 0, "");
            c.append(vm);
        }
        c.prepareForNextBatch();
        c.clear();
    }
    EXPECT_EQ(120u, c.getBatchOffset());
    EXPECT_EQ(0u, c.count());

    VM vm(1, 1, 1, "g", 0, 0, "");
    c.append(vm);
    c.append(vm);
    c.append(vm);
    c.prepareForNextBatch();
    EXPECT_EQ(123u, c.getBatchOffset());
    EXPECT_EQ(3u, c.count());
    c.prepareForNextBatch();
    EXPECT_EQ(126u, c.getBatchOffset());
}

TEST(DBObjectCollection, AppendStoresACopy) {
    DBObjectCollection<Extent> c;
    Extent e(1, 2, 3, 4, 5);
    e.CacheLocation = "before";
    c.append(e);
    c.append(e);
    e.CacheLocation = "after";
    auto it = c.iterator();
    EXPECT_EQ("before", it->CacheLocation);
    ++it;
    EXPECT_EQ("before", it->CacheLocation);
    ++it;
    EXPECT_TRUE(c.isEnd(it));
}

TEST(DBObjectCollection, DestructionReleasesTheContext) {
    auto state = boost::make_shared<int>(7);
    boost::weak_ptr<int> watch = state;
    {
        auto c = std::make_unique<DBObjectCollection<VM>>();
        c->getContext() = state;
        state.reset();
        c->clear();
        EXPECT_FALSE(watch.expired());
        // Deleted through the root, as a LiveBrowseCacheDBObject.
        std::unique_ptr<LiveBrowseCacheDBObject> root(c.release());
    }
    EXPECT_TRUE(watch.expired());
}

class InspectableIterator : public DBObjectIteratorImplBase<DBObjectCollection<Extent>> {
public:
    using DBObjectIteratorImplBase::afileId;
    using DBObjectIteratorImplBase::batch;
    using DBObjectIteratorImplBase::batchSize;
    using DBObjectIteratorImplBase::copyId;
    using DBObjectIteratorImplBase::cursor;
    using DBObjectIteratorImplBase::DBObjectIteratorImplBase;
    using DBObjectIteratorImplBase::jobId;
    using DBObjectIteratorImplBase::tessarelId;
    using DBObjectIteratorImplBase::totalCount;
    using DBObjectIteratorImplBase::totalCountCached;
    using DBObjectIteratorImplBase::vmGuid;
};

TEST(DBObjectIteratorImplBase, TakesJobBeforeAfileAndStartsAtTheEndOfAnEmptyBatch) {
    InspectableIterator it("", 7, 12, 2, 1, 100);
    EXPECT_EQ(12, it.afileId);
    EXPECT_EQ(7, it.jobId);
    EXPECT_EQ(2u, it.tessarelId);
    EXPECT_EQ(1u, it.copyId);
    EXPECT_EQ(100u, it.batchSize);
    EXPECT_TRUE(it.vmGuid.empty());
    EXPECT_EQ(0u, it.batch.count());
    EXPECT_EQ(0u, it.batch.getBatchOffset());
    EXPECT_TRUE(it.batch.isEnd(it.cursor));
    EXPECT_EQ(0, it.totalCount);
    EXPECT_FALSE(it.totalCountCached);
}

}  // namespace
