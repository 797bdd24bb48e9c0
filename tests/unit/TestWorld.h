// A fresh fake world per test: virtual time, in-memory files and library,
// recording notifications, and the real (display-free) plist and JSON ports.
#pragma once

#include "compositing/SRUnifiedProcessor.h"
#include "history/RecentCaptureTable.h"
#include "discovery/SRPhotoObserver.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/ClockAndRandom.h"
#include "platform/linux/ValueCodecs.h"
#include "settings/SRSettings.h"
#include "startup/SRTweakInit.h"

#include <gtest/gtest.h>

namespace plinthora::testing {

class WorldTest : public ::testing::Test {
protected:
    void SetUp() override {
        world_.install(&plist_, &json_, imaging());
        resetRecentCaptureTableForTesting();
        SRUnifiedProcessor::sharedInstance().resetForTesting();
        SRPhotoObserver::sharedInstance().resetForTesting();
        resetTweakForTesting();
        settings().apply(Value::dict());
    }
    // Tests that draw override this with a real imaging port.
    virtual Imaging* imaging() { return nullptr; }

    void writePrefs(const Value::Dict& d) { world_.fs.put(kPreferencesPath, plist_.toXml(Value::dict(d))); }

    fake::FakeWorld world_;
    linux_platform::LibplistPropertyLists plist_;
    linux_platform::NlohmannJson json_;
};

}  // namespace plinthora::testing
