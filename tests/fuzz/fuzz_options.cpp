// Fuzz target: acceptance of the command-line switches and the forwarded
// text.
//  - The result, the first offending argument (cut to the error buffer) and
//    every field agree with a plain model of the switch rules; nothing is
//    written past either buffer's capacity.
//  - The forwarded text is the model's, never longer than 1634 units, cut to
//    any smaller buffer as a terminated prefix.
//  - Round trip: the forwarded text, split as the product installer splits
//    its command line (blanks separate, double quotes group and are dropped),
//    is accepted again and gives the same switches (less /REPAIR, and /SILENT
//    when /VERYSILENT is given).
// Input: a mode byte (bit 0: two bytes per text unit), the error buffer's
// capacity, the forward buffer's capacity (two bytes), an argument count,
// then per argument a switch-name choice and a text.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "setup/options.h"
#include "tests/fuzz/fuzz_input.h"

using fuzz_input::check;

namespace {

const char16_t *const flag_names[] = {u"/SILENT", u"/VERYSILENT", u"/SUPPRESSMSGBOXES",
                                       u"/NORESTART", u"/REPAIR"};
const char16_t *const valued_names[] = {u"/DIR", u"/COMPONENTS", u"/TASKS", u"/LANG"};

struct Model {
    uint32_t flag[5];
    std::u16string value[4];  // dir, components, tasks, lang
};

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? (char16_t)(c - 32) : c; }

std::u16string upper_text(const std::u16string &t) {
    std::u16string u;
    for (char16_t c : t) u.push_back(upper(c));
    return u;
}

bool alnum(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

bool value_good(size_t k, const std::u16string &v) {
    static const size_t most[] = {1022, 250, 250, 32};
    if (v.empty() || v.size() > most[k]) return false;
    for (char16_t c : v) {
        if (k == 0) {
            // No quote, controls, DEL, C1 controls, line or paragraph
            // separators, or direction controls (the Arabic letter mark too).
            bool hidden = c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
                          (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
            if (hidden || c == u'"') return false;
        } else if (k == 3) {
            if (!alnum(c) && c != u'_' && c != u'-') return false;
        } else if (!alnum(c) && std::u16string(u"_,!*\\").find(c) == std::u16string::npos) {
            return false;
        }
    }
    return true;
}

// 1 when accepted; *offending is the first refused argument.
int model_parse(const std::vector<std::u16string> &args, Model *m, std::u16string *offending) {
    memset(m->flag, 0, sizeof m->flag);
    for (auto &v : m->value) v.clear();
    int result = 1;
    for (const std::u16string &arg : args) {
        std::u16string u = upper_text(arg);
        bool ok = false, matched = false;
        for (size_t k = 0; k < 5 && !matched; k++) {
            if (u == flag_names[k]) {
                matched = true;
                ok = !m->flag[k];
                m->flag[k] = 1;
            }
        }
        for (size_t k = 0; k < 4 && !matched; k++) {
            std::u16string prefix = std::u16string(valued_names[k]) + u"=";
            if (u.compare(0, prefix.size(), prefix) != 0) continue;
            matched = true;
            std::u16string v = arg.substr(prefix.size());
            bool had = !m->value[k].empty();
            bool good = value_good(k, v);
            if (good) m->value[k] = v;
            ok = good && !had;
        }
        if (!ok && result == 1) {
            *offending = arg;
            result = 0;
        }
    }
    return result;
}

std::u16string model_forward(const Model &m) {
    std::u16string t;
    if (m.flag[1]) t += u" /VERYSILENT";
    else if (m.flag[0]) t += u" /SILENT";
    if (m.flag[2]) t += u" /SUPPRESSMSGBOXES";
    if (m.flag[3]) t += u" /NORESTART";
    if (!m.value[0].empty()) t += u" /DIR=\"" + m.value[0] + u"\"";
    if (!m.value[1].empty()) t += u" /COMPONENTS=\"" + m.value[1] + u"\"";
    if (!m.value[2].empty()) t += u" /TASKS=\"" + m.value[2] + u"\"";
    if (!m.value[3].empty()) t += u" /LANG=" + m.value[3];
    if (!t.empty()) t.erase(0, 1);
    return t;
}

// The product installer's splitting: blanks (and other units up to 0x20)
// outside double quotes separate arguments; double quotes are dropped.
std::vector<std::u16string> installer_split(const std::u16string &t) {
    std::vector<std::u16string> args;
    size_t i = 0;
    while (i < t.size()) {
        while (i < t.size() && t[i] <= u' ') i++;
        if (i == t.size()) break;
        std::u16string arg;
        bool quoted = false;
        while (i < t.size() && (quoted || t[i] > u' ')) {
            if (t[i] == u'"') quoted = !quoted;
            else arg.push_back(t[i]);
            i++;
        }
        args.push_back(arg);
    }
    return args;
}

std::u16string from_program(const wchar16 *t) {
    std::u16string s;
    for (size_t i = 0; t[i] != 0; i++) s.push_back((char16_t)t[i]);
    return s;
}

bool same_record(const SetupOptions &o, const Model &m) {
    const uint32_t flags[] = {o.silent, o.very_silent, o.suppress_msg_boxes, o.no_restart, o.repair};
    for (size_t k = 0; k < 5; k++) {
        if (flags[k] != m.flag[k]) return false;
    }
    const wchar16 *fields[] = {o.dir, o.components, o.tasks, o.lang};
    for (size_t k = 0; k < 4; k++) {
        if (from_program(fields[k]) != m.value[k]) return false;
    }
    return true;
}

int parse(const std::vector<std::u16string> &args, SetupOptions *options, wchar16 *error,
          size_t capacity) {
    std::vector<std::basic_string<wchar16>> storage;
    std::vector<const wchar16 *> pointers;
    for (const auto &a : args) storage.push_back(std::basic_string<wchar16>(a.begin(), a.end()));
    for (const auto &s : storage) pointers.push_back(s.c_str());
    return options_parse_arguments(options, pointers.data(), (int)pointers.size(), error, capacity);
}

const wchar16 CANARY = (wchar16)0xBEEF;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input::Reader in = {data, size, 0, 0};
    in.wide = in.byte() & 1;
    size_t error_capacity = in.byte();
    size_t forward_capacity = (size_t)in.number(2) % 2100;
    size_t count = in.byte() % 12;
    std::vector<std::u16string> args;
    for (size_t i = 0; i < count; i++) {
        // A switch name in the case the input chooses, or none, then a text.
        uint8_t pick = in.byte();
        uint8_t lower = in.byte();
        std::u16string arg;
        if (pick % 10 < 9) {
            arg = pick % 10 < 5 ? flag_names[pick % 10] : std::u16string(valued_names[pick % 10 - 5]) + u"=";
            for (size_t k = 0; k < arg.size(); k++) {
                if ((lower >> (k % 8)) & 1 && arg[k] >= u'A' && arg[k] <= u'Z') arg[k] = (char16_t)(arg[k] + 32);
            }
        }
        arg += in.text(true, 1100);
        size_t zero = arg.find(u'\0');
        if (zero != std::u16string::npos) arg.resize(zero);  // as the system hands arguments over
        args.push_back(arg);
    }

    static SetupOptions options;
    static wchar16 error[300];
    for (wchar16 &u : error) u = CANARY;
    int accepted = parse(args, &options, error, error_capacity);

    Model model;
    std::u16string offending;
    int expected = model_parse(args, &model, &offending);
    check(accepted == expected);
    check(same_record(options, model));
    if (accepted || error_capacity == 0) {
        for (wchar16 u : error) check(u == CANARY);
    } else {
        std::u16string cut = offending.substr(0, error_capacity - 1);
        check(from_program(error) == cut);
        for (size_t k = cut.size() + 1; k < 300; k++) check(error[k] == CANARY);
    }

    // The forwarded text, whole and cut.
    static wchar16 whole[2048];
    int length = options_forward(&options, whole, 2048);
    std::u16string forwarded = model_forward(model);
    check(length >= 0 && length <= 1634 && (size_t)length == forwarded.size());
    check(from_program(whole) == forwarded);
    static wchar16 cut[2100];
    for (wchar16 &u : cut) u = CANARY;
    int cut_length = options_forward(&options, cut, forward_capacity);
    if (forward_capacity == 0) {
        check(cut_length == -1);
    } else if (forwarded.size() < forward_capacity) {
        check(cut_length == length && from_program(cut) == forwarded);
    } else {
        check(cut_length == -1 && from_program(cut) == forwarded.substr(0, forward_capacity - 1));
    }
    for (size_t k = forward_capacity; k < 2100; k++) check(cut[k] == CANARY);

    // What the installer is given, read back.
    static SetupOptions again;
    static wchar16 again_error[OPTIONS_ERROR_CAPACITY];
    again_error[0] = 0;
    check(parse(installer_split(forwarded), &again, again_error, OPTIONS_ERROR_CAPACITY) == 1);
    Model forwarded_model = model;
    forwarded_model.flag[4] = 0;                       // /REPAIR is the setup's own
    if (model.flag[1]) forwarded_model.flag[0] = 0;    // /VERYSILENT stands for both
    check(same_record(again, forwarded_model));
    return 0;
}
