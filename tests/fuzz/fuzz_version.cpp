// Fuzz target: version texts. Any text is read safely; among valid versions
// the order is reflexive, antisymmetric and transitive.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "release/version.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Three texts separated by zero bytes.
    std::string part[3];
    size_t k = 0;
    for (size_t i = 0; i < size && k < 3; i++) {
        if (data[i] == 0) {
            k++;
        } else {
            part[k].push_back((char)data[i]);
        }
    }
    const char *a = part[0].c_str(), *b = part[1].c_str(), *c = part[2].c_str();
    int va = version_valid(a), vb = version_valid(b), vc = version_valid(c);
    int ab = version_compare(a, b);  // safe on any text
    check(ab >= -1 && ab <= 1);
    if (va) {
        check(part[0].size() >= 5 && part[0].size() <= 63);
        check(version_compare(a, a) == 0);
    }
    if (va && vb) check(version_compare(b, a) == -ab);
    if (va && vb && vc) {
        int bc = version_compare(b, c), ac = version_compare(a, c);
        if (ab <= 0 && bc <= 0) check(ac <= 0);
        if (ab == 0 && bc == 0) check(ac == 0);
    }
    return 0;
}
