// The pure rules of the log and the user's message: the line layout, the
// kept-log stamp and the rate-limit wording.
#include "common/log.h"

int log_build_line(char *line, const LogTime *time, const char *format, va_list args) {
    // Stamp, then the message in the room left so that stamp and message hold
    // at most LOG_LINE_CAPACITY - 3 bytes, then CR LF.
    int stamp = format_narrow(line, LOG_LINE_CAPACITY, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ ",
                              time->year, time->month, time->day, time->hour, time->minute,
                              time->second, time->millisecond);
    if (stamp < 0) stamp = 0;
    char *message = line + stamp;
    size_t room = (size_t)(LOG_LINE_CAPACITY - 2 - stamp);
    message[0] = 0;
    format_narrow_v(message, room, format, args);
    size_t length = 0;
    while (message[length] != 0) length++;
    size_t total = (size_t)stamp + length;
    line[total] = '\r';
    line[total + 1] = '\n';
    return (int)(total + 2);
}

int report_rate_limited_text(wchar16 *buffer, size_t capacity, uint32_t seconds) {
    // Rounded up without wrapping near the top of the 32-bit range.
    uint32_t minutes = (uint32_t)(((uint64_t)seconds + 59u) / 60u);
    if (minutes < 120u) {
        return format_wide(buffer, capacity,
                           T16("Vornquill Cloud is limiting downloads right now. Please try again in about %lu minutes."),
                           (unsigned long)minutes);
    }
    uint32_t hours = (minutes + 59u) / 60u;
    return format_wide(buffer, capacity,
                       T16("Vornquill Cloud is limiting downloads right now. Please try again in about %lu hours."),
                       (unsigned long)hours);
}

int log_stamp_text(wchar16 *buffer, size_t capacity, const LogTime *time) {
    return format_wide(buffer, capacity, T16("%04u%02u%02u-%02u%02u%02u"), time->year, time->month,
                       time->day, time->hour, time->minute, time->second);
}
