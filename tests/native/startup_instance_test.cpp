// Whether another setup runs, from what the named mutex and the
// administrators-only mutex gave: every combination.
#include <gtest/gtest.h>

#include "setup/startup.h"

namespace {

const InstanceVerdict RUN = INSTANCE_RUN;
const InstanceVerdict BUSY = INSTANCE_ALREADY_RUNNING;
const InstanceVerdict FOREIGN = INSTANCE_RUN_FOREIGN_IGNORED;
const InstanceVerdict BARE = INSTANCE_RUN_UNPROTECTED;

TEST(StartupInstance, TheGuardedMutexDecidesAndTheNamedOneOnlyWithoutIt) {
    const InstanceObject objects[] = {INSTANCE_OBJECT_CREATED, INSTANCE_OBJECT_EXISTS,
                                      INSTANCE_OBJECT_DENIED, INSTANCE_OBJECT_FAILED,
                                      INSTANCE_OBJECT_UNAVAILABLE};
    // Rows: the guarded mutex; columns: the named mutex, in the order above.
    const InstanceVerdict expected[5][5] = {
        // created here: no other setup runs; a named mutex that is there
        // (open to us or not) belongs to someone else and is ignored
        {RUN, FOREIGN, FOREIGN, RUN, RUN},
        // another setup holds the guarded mutex
        {BUSY, BUSY, BUSY, BUSY, BUSY},
        // ... and keeps it from us
        {BUSY, BUSY, BUSY, BUSY, BUSY},
        // no guarded mutex (could not be made, or no private namespaces on this
        // system): the named mutex decides, as it did before there was another
        {RUN, BUSY, BARE, BARE, BARE},
        {RUN, BUSY, BARE, BARE, BARE},
    };
    for (int g = 0; g < 5; g++) {
        for (int n = 0; n < 5; n++) {
            EXPECT_EQ(startup_instance_verdict(objects[n], objects[g]), expected[g][n])
                << "guarded " << objects[g] << ", named " << objects[n];
        }
    }
}

}  // namespace
