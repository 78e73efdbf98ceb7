// Text rules of the rollback package. Pure logic.
#include "machine/rollback.h"

size_t rollback_location_trim(wchar16 *location) {
    size_t length = text16_length(location);
    while (length > 3 && (location[length - 1] == '\\' || location[length - 1] == '/')) location[--length] = 0;
    return length;
}
