#include <gtest/gtest.h>

#include <QObject>
#include <QSignalSpy>
#include <memory>

#include "QtUtil/SignalBlocker.h"

using Varnex::Util::SignalBlocker;

TEST(SignalBlocker, BlocksUntilRevertOrDestruction) {
    QObject object;
    QSignalSpy spy(&object, &QObject::objectNameChanged);
    {
        SignalBlocker blocker(&object);
        EXPECT_TRUE(object.signalsBlocked());
        object.setObjectName("a");
        EXPECT_EQ(spy.count(), 0);
        blocker.revert();
        EXPECT_FALSE(object.signalsBlocked());
        object.setObjectName("b");
        EXPECT_EQ(spy.count(), 1);
        // A blocker reverted by hand does nothing more when it goes.
        object.blockSignals(true);
    }
    EXPECT_TRUE(object.signalsBlocked());
    object.blockSignals(false);
    {
        SignalBlocker blocker(&object);
        object.setObjectName("c");
    }
    EXPECT_FALSE(object.signalsBlocked());
    EXPECT_EQ(spy.count(), 1);
}

TEST(SignalBlocker, NestedBlockersKeepTheOuterBlock) {
    QObject object;
    SignalBlocker outer(&object);
    {
        SignalBlocker inner(&object);
        EXPECT_TRUE(object.signalsBlocked());
    }
    EXPECT_TRUE(object.signalsBlocked());  // the outer block stays
    {
        SignalBlocker unblock(&object, false);  // lets signals through for a while
        EXPECT_FALSE(object.signalsBlocked());
        unblock.revert();
        EXPECT_TRUE(object.signalsBlocked());
        unblock.revert();  // twice: no effect
        EXPECT_TRUE(object.signalsBlocked());
    }
    outer.revert();
    EXPECT_FALSE(object.signalsBlocked());
}

TEST(SignalBlocker, ObjectGoneFirstOrNull) {
    auto object = std::make_unique<QObject>();
    SignalBlocker blocker(object.get());
    object.reset();
    blocker.revert();  // must not touch the deleted object (ASan would tell)
    SignalBlocker none(nullptr);
    none.revert();
}
