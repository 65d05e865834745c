#include "platform/RecycledBlock.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

struct Probe {
    explicit Probe(std::string text) : text(std::move(text)) {}
    std::string text;
    char padding[40] = {};
};

boost::shared_ptr<Probe> Make(const std::string& text) {
    return boost::allocate_shared<Probe>(RecycledBlock<Probe>(), text);
}

TEST(RecycledBlockTest, AFreedBlockServesTheNextObjectOfItsSizeOnItsThread) {
    boost::shared_ptr<Probe> first = Make("first");
    const Probe* at = first.get();
    first.reset();
    boost::shared_ptr<Probe> second = Make("second");
    EXPECT_EQ(at, second.get());
    EXPECT_EQ("second", second->text);
}

// Objects alive together have blocks of their own; of those freed together
// one is kept and the other goes back to the heap (ASan and memcheck see
// either misplaced).
TEST(RecycledBlockTest, ObjectsAliveTogetherNeverShareABlock) {
    boost::shared_ptr<Probe> a = Make("a");
    boost::shared_ptr<Probe> b = Make("b");
    ASSERT_NE(a.get(), b.get());
    const Probe* atB = b.get();
    b.reset();
    a.reset();
    boost::shared_ptr<Probe> c = Make("c");
    boost::shared_ptr<Probe> d = Make("d");
    EXPECT_NE(c.get(), d.get());
    EXPECT_EQ(atB, c.get());
    EXPECT_EQ("c", c->text);
    EXPECT_EQ("d", d->text);
}

// Freed on another thread than it was made on, a block is kept there, and
// given back to the heap when that thread ends (a leak check would see it).
TEST(RecycledBlockTest, ABlockFreedOnAnotherThreadIsKeptThereUntilItEnds) {
    boost::shared_ptr<Probe> made = Make("made here");
    std::thread other([&made]() {
        made.reset();
        boost::shared_ptr<Probe> again = Make("there");
        EXPECT_EQ("there", again->text);
    });
    other.join();
    EXPECT_FALSE(made);
}

}  // namespace
