#include "device/switch_test.h"

#include <algorithm>

#include "device/keys.h"

namespace {

constexpr uint32_t page_desktop = 0x01;
constexpr uint32_t page_keyboard = 0x07;
constexpr uint32_t page_button = 0x09;
constexpr uint32_t usage_x = 0x30;
constexpr uint32_t usage_y = 0x31;
constexpr uint32_t usage_hat = 0x39;

constexpr int dir_right = 1;
constexpr int dir_left = 2;
constexpr int dir_up = 4;
constexpr int dir_down = 8;

bool is_modifier_usage(uint32_t usage)
{
    return usage >= 0xE0 && usage <= 0xE7;
}

// Left and right Control, Shift and Alt count alike; the GUI keys are no modifier of a box.
int modifier_bit(uint32_t usage)
{
    switch (usage & 0x3) {
    case 0: return modifier_control;
    case 1: return modifier_shift;
    case 2: return modifier_alt;
    default: return 0;
    }
}

bool in_joystick(const hid_descriptor_info &d, const hid_input_field &f)
{
    if (f.collection < 0 || static_cast<size_t>(f.collection) >= d.collections.size())
        return false;
    const hid_top_collection &c = d.collections[static_cast<size_t>(f.collection)];
    // Joystick, game pad, multi-axis controller.
    return c.usage_page == page_desktop && (c.usage == 0x04 || c.usage == 0x05 || c.usage == 0x08);
}

// A hat switch position, counted clockwise from up over the field's logical range.
int hat_directions(const hid_input_field &f, int32_t value)
{
    static constexpr int eight[] = {dir_up,   dir_up | dir_right,  dir_right, dir_down | dir_right,
                                    dir_down, dir_down | dir_left, dir_left,  dir_up | dir_left};
    static constexpr int four[] = {dir_up, dir_right, dir_down, dir_left};
    if (value < f.logical_min || value > f.logical_max)
        return 0;  // the null state: centred
    const int64_t positions = int64_t{f.logical_max} - f.logical_min + 1;
    const int64_t index = int64_t{value} - f.logical_min;
    if (positions == 8)
        return eight[index];
    if (positions == 4)
        return four[index];
    return 0;
}

// An absolute axis away from its centre by more than an eighth of its half range.
int axis_directions(const hid_input_field &f, uint32_t usage, int32_t value)
{
    const int64_t lo = f.logical_min, hi = f.logical_max;
    if (hi <= lo)
        return 0;
    const int64_t twice_offset = 2 * int64_t{value} - (lo + hi);
    const int64_t threshold = std::max<int64_t>(1, (hi - lo) / 8);
    if (twice_offset > threshold)
        return usage == usage_x ? dir_right : dir_down;
    if (twice_offset < -threshold)
        return usage == usage_x ? dir_left : dir_up;
    return 0;
}

// What one report holds.
struct decoded {
    std::set<received_input> held;  // keys with modifiers 0, buttons, joystick directions
    bool relative = false;          // it carried relative X or Y
    int64_t dx = 0, dy = 0;
};

void add_usage(decoded &out, bool joystick, uint32_t usage)
{
    const uint32_t page = usage >> 16, id = usage & 0xFFFF;
    if (page == page_keyboard && id >= 4)  // 0 is no key, 1 to 3 report errors
        out.held.insert({input_kind::key, static_cast<int>(id), 0});
    else if (page == page_button && id >= 1)
        out.held.insert({joystick ? input_kind::joystick_button : input_kind::mouse_button,
                         static_cast<int>(id), 0});
}

decoded decode(const hid_descriptor_info &d, uint8_t id, const unsigned char *payload,
               size_t length)
{
    decoded out;
    int joystick_dirs = 0;
    for (const hid_input_field &f : d.inputs) {
        if (f.report_id != id || f.is_constant())
            continue;
        const bool joystick = in_joystick(d, f);
        // No more values than the report has bits, whatever the count says.
        const uint32_t n = f.size == 0 ? 0 : static_cast<uint32_t>(std::min<uint64_t>(
                                                 f.count, uint64_t{length} * 8 / f.size + 1));
        for (uint32_t i = 0; i < n; i++) {
            int32_t value;
            if (!hid_field_value(f, i, payload, length, &value))
                break;
            if (!f.is_variable()) {
                // An index into the usages; outside them, nothing is in use.
                const int64_t index = int64_t{value} - f.logical_min;
                if (value < f.logical_min || value > f.logical_max ||
                    (!f.usages.empty() && static_cast<uint64_t>(index) >= f.usages.size()))
                    continue;
                add_usage(out, joystick, f.usage(static_cast<uint32_t>(index)));
                continue;
            }
            const uint32_t usage = f.usage(i);
            const uint32_t page = usage >> 16, uid = usage & 0xFFFF;
            if (page == page_desktop && (uid == usage_x || uid == usage_y)) {
                if (f.is_relative()) {
                    out.relative = true;
                    (uid == usage_x ? out.dx : out.dy) += value;
                } else if (joystick) {
                    joystick_dirs |= axis_directions(f, uid, value);
                }
            } else if (page == page_desktop && uid == usage_hat) {
                joystick_dirs |= hat_directions(f, value);
            } else if (value != 0) {
                add_usage(out, joystick, usage);
            }
        }
    }
    for (int bit : {dir_right, dir_left, dir_up, dir_down})
        if (joystick_dirs & bit)
            out.held.insert({input_kind::joystick_move, bit, 0});
    return out;
}

}  // namespace

switch_test::switch_test(const configuration &c, int n_switches, switch_test_timing timing)
    : config_(c), n_switches_(std::clamp(n_switches, 0, max_switches)), timing_(timing)
{
}

size_t switch_test::add_interface(const hid_descriptor_info &descriptor)
{
    interfaces_.push_back({descriptor, {}});
    return interfaces_.size() - 1;
}

const switch_counter &switch_test::counter(int index) const
{
    static const switch_counter none;
    return index >= 0 && index < max_switches ? counters_[static_cast<size_t>(index)] : none;
}

std::set<received_input> switch_test::held() const
{
    return reported_;
}

std::vector<int> switch_test::switches_for(const received_input &input) const
{
    auto matching = [this](auto predicate) {
        std::vector<int> found;
        for (int i = 0; i < n_switches_; i++) {
            const action_record &a = config_.switches[static_cast<size_t>(i)];
            if (predicate(low_byte(a.kind), low_byte(a.code), low_byte(a.modifiers) & 7))
                found.push_back(i + 1);
        }
        return found;
    };
    const int code = input.code;
    switch (input.kind) {
    case input_kind::key: {
        std::vector<int> exact = matching([&](int kind, int c, int m) {
            return kind == kind_keyboard_key && c == code && m == input.modifiers;
        });
        if (!exact.empty())
            return exact;
        // Another switch held a modifier when this key came: its own modifiers are still
        // among those held.
        return matching([&](int kind, int c, int m) {
            return kind == kind_keyboard_key && c == code && (m & ~input.modifiers) == 0;
        });
    }
    case input_kind::mouse_button:
        return matching([&](int kind, int c, int) {
            return kind == kind_mouse_button &&
                   ((code == 1 && (c == 0 || c == 3)) || (code == 2 && c == 1));
        });
    case input_kind::double_click:
        return matching([](int kind, int c, int) { return kind == kind_mouse_button && c == 2; });
    case input_kind::mouse_move:
        return matching([&](int kind, int c, int) { return kind == kind_mouse_movement && (c & code); });
    case input_kind::joystick_button:
        return matching([&](int kind, int c, int) { return kind == kind_joystick_button && c == code - 1; });
    case input_kind::joystick_move:
        return matching([&](int kind, int c, int) { return kind == kind_joystick_movement && (c & code); });
    case input_kind::generic_event:
        return matching([&](int kind, int c, int) { return kind == kind_generic_event && c == code; });
    }
    return {};
}

void switch_test::emit(std::vector<switch_event> &events, bool pressed, const received_input &input,
                       std::vector<int> switches, int64_t time_ms)
{
    for (int number : switches) {
        switch_counter &c = counters_[static_cast<size_t>(number - 1)];
        if (pressed) {
            c.presses++;
            c.held = true;
            c.pressed_at_ms = time_ms;
        } else if (c.held) {
            c.held = false;
            c.last_duration_ms = time_ms - c.pressed_at_ms;
        }
    }
    if (pressed)
        reported_.insert(input);
    else
        reported_.erase(input);
    events.push_back({pressed, input, std::move(switches), time_ms});
}

// The left button, when a switch has the double click: the box sends a double click as two
// quick clicks, which is one press of that switch. With a left click or drag switch beside it,
// the first click is held back until the second one comes or the gap is too long for it.
void switch_test::left_button(std::vector<switch_event> &events, bool pressed, int64_t now_ms)
{
    const received_input left = {input_kind::mouse_button, 1, 0};
    const received_input twice = {input_kind::double_click, 1, 0};
    const std::vector<int> doubles = switches_for(twice);
    const std::vector<int> singles = switches_for(left);
    if (doubles.empty()) {
        emit(events, pressed, left, singles, now_ms);
        return;
    }
    const bool only_double = singles.empty();
    if (pressed) {
        if (click_ == click_state::idle) {
            click_first_ms_ = now_ms;
            click_ = click_state::first_down;
            click_deadline_ms_ = only_double ? -1 : now_ms + timing_.double_click_ms;
            if (only_double)
                emit(events, true, twice, doubles, now_ms);
        } else if (click_ == click_state::first_up) {
            click_ = click_state::second_down;
            click_deadline_ms_ = -1;
            if (!only_double)
                emit(events, true, twice, doubles, click_first_ms_);
        }
        return;
    }
    switch (click_) {
    case click_state::first_down:
        click_ = click_state::first_up;
        click_up_ms_ = now_ms;
        click_deadline_ms_ = now_ms + timing_.double_click_ms;
        break;
    case click_state::second_down:
        emit(events, false, twice, doubles, now_ms);
        click_ = click_state::idle;
        break;
    case click_state::single_down:
        emit(events, false, left, singles, now_ms);
        click_ = click_state::idle;
        break;
    default:
        break;
    }
}

void switch_test::expire_click(std::vector<switch_event> &events, int64_t now_ms)
{
    if (click_deadline_ms_ < 0 || now_ms < click_deadline_ms_)
        return;
    click_deadline_ms_ = -1;
    const received_input left = {input_kind::mouse_button, 1, 0};
    const received_input twice = {input_kind::double_click, 1, 0};
    if (click_ == click_state::first_down) {
        // Held too long for a double click's first click.
        emit(events, true, left, switches_for(left), click_first_ms_);
        click_ = click_state::single_down;
    } else if (click_ == click_state::first_up) {
        // No second click came: a single click, unless only a double click switch could
        // have sent it.
        const std::vector<int> singles = switches_for(left);
        if (singles.empty()) {
            emit(events, false, twice, switches_for(twice), click_up_ms_);
        } else {
            emit(events, true, left, singles, click_first_ms_);
            emit(events, false, left, singles, click_up_ms_);
        }
        click_ = click_state::idle;
    }
}

void switch_test::update(std::vector<switch_event> &events, int64_t now_ms)
{
    std::set<received_input> current;
    std::set<int> keys;
    int mask = 0;
    for (const interface_state &s : interfaces_)
        for (const auto &[id, inputs] : s.held)
            for (const received_input &in : inputs) {
                if (in.kind != input_kind::key) {
                    current.insert(in);
                    continue;
                }
                keys.insert(in.code);
                if (is_modifier_usage(static_cast<uint32_t>(in.code)))
                    mask |= modifier_bit(static_cast<uint32_t>(in.code));
            }
    std::map<int, int> modifiers;
    for (int usage : keys) {
        if (is_modifier_usage(static_cast<uint32_t>(usage))) {
            // A modifier on its own is part of a key with modifiers, unless a switch sends it
            // as its key.
            const received_input in = {input_kind::key, usage, 0};
            if (!switches_for(in).empty())
                current.insert(in);
            continue;
        }
        // A key keeps the modifiers it came with, whatever happens to them while it is held.
        auto it = key_modifiers_.find(usage);
        const int m = it != key_modifiers_.end() ? it->second : mask;
        modifiers[usage] = m;
        current.insert({input_kind::key, usage, m});
    }
    key_modifiers_ = std::move(modifiers);
    current.insert(generic_held_.begin(), generic_held_.end());
    for (const auto &[bit, last] : moves_)
        current.insert({input_kind::mouse_move, bit, 0});

    const received_input left = {input_kind::mouse_button, 1, 0};
    std::vector<received_input> released, pressed;
    std::set_difference(previous_.begin(), previous_.end(), current.begin(), current.end(),
                        std::back_inserter(released));
    std::set_difference(current.begin(), current.end(), previous_.begin(), previous_.end(),
                        std::back_inserter(pressed));
    previous_ = std::move(current);
    for (const received_input &in : released) {
        if (in == left)
            left_button(events, false, now_ms);
        else
            emit(events, false, in, switches_for(in), now_ms);
    }
    for (const received_input &in : pressed) {
        if (in == left)
            left_button(events, true, now_ms);
        else
            emit(events, true, in, switches_for(in), now_ms);
    }
}

std::vector<switch_event> switch_test::tick(int64_t now_ms)
{
    std::vector<switch_event> events;
    expire_click(events, now_ms);
    bool stopped = false;
    for (auto it = moves_.begin(); it != moves_.end();) {
        if (now_ms - it->second >= timing_.movement_quiet_ms) {
            it = moves_.erase(it);
            stopped = true;
        } else {
            ++it;
        }
    }
    if (stopped)
        update(events, now_ms);
    return events;
}

int64_t switch_test::next_deadline() const
{
    int64_t next = click_deadline_ms_;
    for (const auto &[bit, last] : moves_) {
        const int64_t due = last + timing_.movement_quiet_ms;
        if (next < 0 || due < next)
            next = due;
    }
    return next;
}

std::vector<switch_event> switch_test::report(size_t index, const unsigned char *data,
                                              size_t length, int64_t now_ms)
{
    std::vector<switch_event> events = tick(now_ms);
    if (index >= interfaces_.size() || data == nullptr || length == 0)
        return events;
    interface_state &s = interfaces_[index];
    uint8_t id = 0;
    if (s.descriptor.input_numbered) {
        id = data[0];
        data++;
        length--;
    }
    decoded d = decode(s.descriptor, id, data, length);
    s.held[id] = std::move(d.held);
    if (d.relative) {
        const int x = d.dx > 0 ? dir_right : d.dx < 0 ? dir_left : 0;
        const int y = d.dy > 0 ? dir_down : d.dy < 0 ? dir_up : 0;
        for (int bit : {dir_right, dir_left, dir_up, dir_down}) {
            if (bit == x || bit == y)
                moves_[bit] = now_ms;
            else
                moves_.erase(bit);
        }
    }
    update(events, now_ms);
    return events;
}

std::vector<switch_event> switch_test::generic_event(int number, bool released, int64_t now_ms)
{
    std::vector<switch_event> events = tick(now_ms);
    const received_input in = {input_kind::generic_event, number, 0};
    if (released)
        generic_held_.erase(in);
    else
        generic_held_.insert(in);
    update(events, now_ms);
    return events;
}

std::vector<switch_event> switch_test::release_all(int64_t now_ms)
{
    std::vector<switch_event> events = tick(now_ms);
    for (interface_state &s : interfaces_)
        s.held.clear();
    generic_held_.clear();
    moves_.clear();
    update(events, now_ms);
    // A click waiting for its second one is settled now.
    if (click_deadline_ms_ >= 0)
        expire_click(events, click_deadline_ms_);
    return events;
}
