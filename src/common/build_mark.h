// The mark of a test build, in its version resource (SpecialBuild) and in its
// configuration log line. A test build trusts the test release key and the
// test signing certificate, whose secret halves are in the source tree, so it
// must never pass for a production build. Plain #defines: the resource
// compiler reads this file too.
#pragma once

#define VQ_TEST_BUILD_MARK \
  "TEST BUILD: trusts the test release key and the test signing certificate; not for distribution"
