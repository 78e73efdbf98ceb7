// What a progress report shows: the detail text and the bar position, and
// when a report is worth posting.
#include "ui/ui.h"

static const double bytes_per_mb = 1048576.0;

void ui_progress_text(wchar16 *text, size_t capacity, uint64_t done, uint64_t total, double rate,
                      int32_t *position) {
    if (capacity > 0) text[0] = 0;
    if (total == 0) {
        *position = -1;
        return;
    }
    wchar16 done_text[32];
    wchar16 total_text[32];
    format_wide(done_text, 32, T16("%.1f MB"), (double)done / bytes_per_mb);
    format_wide(total_text, 32, T16("%.1f MB"), (double)total / bytes_per_mb);
    if (rate > 0) {
        format_wide(text, capacity, T16("%ls of %ls  \u2014  %.1f MB/s"), done_text, total_text,
                    rate / bytes_per_mb);
    } else {
        format_wide(text, capacity, T16("%ls of %ls"), done_text, total_text);
    }
    // done * 1000 / total without overflowing for any byte count.
    unsigned __int128 permille = (unsigned __int128)done * 1000 / total;
    *position = permille > 0x7fffffff ? 0x7fffffff : (int32_t)permille;
}

int ui_progress_due(uint64_t now_ms, uint64_t last_post_ms, uint64_t done, uint64_t total) {
    if (done == total) return 1;
    return now_ms - last_post_ms >= UI_PROGRESS_THROTTLE_MS;
}
