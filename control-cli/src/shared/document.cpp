// The shared folder: what every part of the program uses and none of them owns: the JSON
// value and its builder, the result type, plain bytes, UTF-8, the transfer loop and the fixed
// failure texts. Nothing here includes another folder.
#include "shared/document.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include "shared/decimal.hpp"

namespace corvanelle {
std::uint64_t Document::source_unsigned(const Node& node) const {
    const std::string_view text = text_of(node);
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::int64_t Document::source_signed(const Node& node) const {
    const std::string_view text = text_of(node);
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

double Document::Value::floating() const {
    if (node().zero()) {
        return node().field() != 0 ? -0.0 : 0.0;
    }
    if (!node().in_source()) {
        return std::bit_cast<double>(doc_->wide_[node().body]);
    }
    // Kept as its text, which the reader proved to be a plain decimal well inside a double's
    // range: the conversion cannot fail.
    return exact_double(doc_->text_of(node())).value_or(0.0);
}

bool Document::Value::find(std::string_view key, Value& found) const {
    // The members are in key order: a binary search over the run's pairs.
    const std::uint32_t* run = doc_->member_order_.data() + node().field();
    const auto key_text = [&](std::size_t n) { return doc_->text_of(doc_->keys_[run[1 + 2 * n]]); };
    std::size_t low = 0;
    std::size_t high = run[0];
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (key_text(middle) < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == run[0] || key_text(low) != key) {
        return false;
    }
    found = Value(doc_, node_ + run[2 + 2 * low]);
    return true;
}

namespace {

// Every value takes at least one byte of text and all but the last a separator or a bracket,
// so a text holds at most about half its size in values ("[0,0,0]" is the densest). A number
// that needs 64 bits of its own, being neither zero nor kept as its text (numbers arrive
// whole, so integers always are), takes at least seven bytes with a separator ("5e-324,").
// Every key takes at least three bytes ("":) plus a value and a separator, five in all (kept
// once in the document, and while its object is open once more with its value's place), and an
// object's run of members takes at most three numbers for seven bytes ({"":0}, and two for
// each further key). These are upper bounds: the vectors never grow, and what is not used is
// never touched.
struct Reservation {
    std::size_t nodes;
    std::size_t wide;
    std::size_t keys;
    std::size_t member_order;
    std::size_t arena;
};

Reservation reservation_for(std::size_t text_size) {
    return {text_size / 2 + 2, text_size / 7 + 1, text_size / 5 + 1, text_size / 7 * 3 + 3,
            text_size};
}

}  // namespace

DocumentBuilder::DocumentBuilder(std::size_t text_size) {
    // A text so large that its counts could outgrow a node's fields cannot be held.
    if (text_size >= Node::kFieldLimit) {
        throw std::bad_alloc();
    }
    const Reservation r = reservation_for(text_size);
    doc_.nodes_.reserve(r.nodes);
    doc_.wide_.reserve(r.wide);
    doc_.keys_.reserve(r.keys);
    keys_.reserve(r.keys);
    doc_.member_order_.reserve(r.member_order);
    doc_.member_order_.push_back(0);
    doc_.arena_.reserve(r.arena);
}

std::size_t DocumentBuilder::reserved_bytes(std::size_t text_size) {
    const Reservation r = reservation_for(text_size);
    return r.nodes * sizeof(Document::Node) + r.wide * sizeof(std::uint64_t) +
           r.keys * (sizeof(Document::Node) + sizeof(OpenKey)) +
           r.member_order * sizeof(std::uint32_t) + r.arena;
}

// Numbers that are not kept as their text (the reader meets them rarely), out of line.
void DocumentBuilder::wide(Document::Kind kind, std::uint64_t bits) {
    add(kind).body = static_cast<std::uint32_t>(doc_.wide_.size());
    doc_.wide_.push_back(bits);
}

void DocumentBuilder::unsigned_integer(std::uint64_t value) {
    wide(Document::Kind::unsigned_integer, value);
}

void DocumentBuilder::signed_integer(std::int64_t value) {
    wide(Document::Kind::signed_integer, static_cast<std::uint64_t>(value));
}

void DocumentBuilder::floating(double value) {
    if (value == 0.0) {
        // Zero, of either sign, needs no 64 bits of its own.
        add(Document::Kind::floating).head |=
            Node::kZero | (std::signbit(value) ? Node::kFieldOne : 0);
        return;
    }
    wide(Document::Kind::floating, std::bit_cast<std::uint64_t>(value));
}

void DocumentBuilder::set_text(Node& node, std::string_view text) {
    auto& arena = doc_.arena_;
    std::size_t start = arena.size();
    if (parts_pending_) {
        start = parts_start_;
        parts_pending_ = false;
    }
    arena.append(text);
    // A string longer than a node's field can say cannot be held (one from the command line
    // or a read text is always far shorter).
    if (arena.size() - start >= Node::kFieldLimit) {
        throw std::bad_alloc();
    }
    node.set_field(arena.size() - start);
    node.body = static_cast<std::uint32_t>(start);
}

void DocumentBuilder::string_part(std::string_view piece) {
    if (!parts_pending_) {
        parts_start_ = doc_.arena_.size();
        parts_pending_ = true;
    }
    doc_.arena_.append(piece);
}

void DocumentBuilder::string(std::string_view text) {
    set_text(add(Document::Kind::string), text);
}
void DocumentBuilder::key(std::string_view text) {
    set_text(add_key_node(), text);
}

void DocumentBuilder::start_array() {
    add(Document::Kind::array);
    open_.push_back({static_cast<std::uint32_t>(doc_.nodes_.size() - 1), 0});
}

void DocumentBuilder::start_object() {
    add(Document::Kind::object);
    open_.push_back({static_cast<std::uint32_t>(doc_.nodes_.size() - 1),
                     static_cast<std::uint32_t>(keys_.size())});
}

void DocumentBuilder::end() {
    const Open open = open_.back();
    open_.pop_back();
    auto& nodes = doc_.nodes_;
    nodes[open.node].body = static_cast<std::uint32_t>(nodes.size() - open.node);
    if (nodes[open.node].kind() != Document::Kind::object) {
        return;
    }
    order_members(open);
}

inline std::uint64_t DocumentBuilder::order_prefix(const Node& key) const {
    const std::size_t offset = key.body;
    const std::size_t length = key.field();
    const char* bytes = (key.in_source() ? doc_.source_base_ : doc_.arena_.data()) + offset;
    const std::size_t readable = (key.in_source() ? source_size_ : doc_.arena_.size()) - offset;
    std::uint64_t prefix = 0;
    if (readable >= 8) {
        // One load, whatever the key's length: bytes past its end are masked off below.
        std::memcpy(&prefix, bytes, 8);
        if constexpr (std::endian::native == std::endian::little) {
            prefix = __builtin_bswap64(prefix);
        }
    } else {
        for (std::size_t i = 0; i < std::min<std::size_t>(length, 8); ++i) {
            prefix |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (56 - 8 * i);
        }
    }
    return length >= 8 ? prefix : prefix & ~(~std::uint64_t{0} >> (8 * length));
}

inline void DocumentBuilder::place_order(const Open& open, std::uint32_t at) {
    doc_.nodes_[open.node].set_field(at);
    keys_.erase(keys_.begin() + open.first_key, keys_.end());
}

template <typename Member>
std::uint32_t DocumentBuilder::new_order(const Open& open, std::size_t count, Member member) {
    auto& order = doc_.member_order_;
    const auto at = static_cast<std::uint32_t>(order.size());
    order.push_back(static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const auto [key_at, value_node] = member(i);
        order.push_back(key_at);
        order.push_back(value_node - open.node);
    }
    place_order(open, at);
    return at;
}

void DocumentBuilder::order_members(const Open& open) {
    const std::size_t first = open.first_key;
    const std::size_t count = keys_.size() - first;
    const auto text = [&](const Node& key) { return doc_.text_of(key); };
    const auto key_of = [&](std::size_t i) -> const Node& { return keys_[first + i].key; };
    using Member = std::pair<std::uint32_t, std::uint32_t>;  // key in the document, value node

    if (count == 0) {
        place_order(open, 0);
        return;
    }
    if (count > kSmallObject) {
        order_large(open);
        return;
    }
    const auto value = [&](std::size_t i) { return keys_[first + i].value; };
    // An object whose keys are those of the last object of as many members, arriving in the
    // same order, takes that object's order and keys, keeping none of its own: no comparison
    // to guess, one check a key; and its very run when its values stand at the same places.
    KnownOrder& known = known_orders_[count];
    bool same_keys = known.count == count;
    bool same_places = same_keys;
    for (std::size_t i = 0; same_keys && i < count; ++i) {
        same_keys = key_of(i).field() == known.lengths[i] &&
                    order_prefix(key_of(i)) == known.prefixes[i] &&
                    (key_of(i).field() <= 8 || text(key_of(i)) == text(doc_.keys_[known.keys + i]));
        same_places = same_places && value(i) - open.node == known.offsets[i];
    }
    if (same_keys && same_places) {
        place_order(open, known.order);
        return;
    }
    known.count = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        known.offsets[i] = value(i) - open.node;
    }
    if (!same_keys) {
        // New keys: kept in the document, and put in order with their prefixes, on the stack.
        known.keys = static_cast<std::uint32_t>(doc_.keys_.size());
        for (std::size_t i = 0; i < count; ++i) {
            doc_.keys_.push_back(key_of(i));
        }
        struct Entry {
            std::uint64_t prefix;
            std::uint8_t place;  // in arrival order
        };
        std::array<Entry, kSmallObject> entries;
        for (std::size_t i = 0; i < count; ++i) {
            entries[i] = {order_prefix(key_of(i)), static_cast<std::uint8_t>(i)};
            known.prefixes[i] = entries[i].prefix;
            known.lengths[i] = key_of(i).field();
        }
        const auto key_text = [&](const Entry& e) { return text(key_of(e.place)); };
        // Members that arrive in order (replies usually do) are taken as they are, with one
        // comparison of neighbours each; others are put in order by an insertion sort, which
        // is stable, so that among repeated keys the last stays last.
        // Whether a's key orders before b's, and whether the two keys are the same.
        const auto before = [&](const Entry& a, const Entry& b) {
            return a.prefix != b.prefix ? a.prefix < b.prefix : key_text(a) < key_text(b);
        };
        const auto same = [&](const Entry& a, const Entry& b) {
            return a.prefix == b.prefix && key_text(a) == key_text(b);
        };
        std::size_t sorted = 1;
        while (sorted < count && before(entries[sorted - 1], entries[sorted])) {
            ++sorted;
        }
        for (std::size_t k = sorted; k < count; ++k) {
            for (std::size_t j = k; j > 0 && before(entries[j], entries[j - 1]); --j) {
                std::swap(entries[j], entries[j - 1]);
            }
        }
        known.kept = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (i + 1 < count && same(entries[i], entries[i + 1])) {
                continue;
            }
            known.places[known.kept++] = entries[i].place;
        }
    }
    known.order = new_order(open, known.kept, [&](std::size_t i) {
        return Member{known.keys + known.places[i], value(known.places[i])};
    });
}

void DocumentBuilder::order_large(const Open& open) {
    // Members by key bytes, sorted where they wait; among equal keys the stable sort keeps
    // document order, and the last of them is the one that stays.
    const auto first = keys_.begin() + open.first_key;
    const auto text = [&](const OpenKey& member) { return doc_.text_of(member.key); };
    const auto by_key = [&](const OpenKey& a, const OpenKey& b) { return text(a) < text(b); };
    if (!std::is_sorted(first, keys_.end(), by_key)) {
        std::stable_sort(first, keys_.end(), by_key);
    }
    auto& order = doc_.member_order_;
    const auto at = static_cast<std::uint32_t>(order.size());
    order.push_back(0);
    for (auto member = first; member != keys_.end(); ++member) {
        if (member + 1 != keys_.end() && text(*member) == text(*(member + 1))) {
            continue;
        }
        order.push_back(static_cast<std::uint32_t>(doc_.keys_.size()));
        order.push_back(member->value - open.node);
        doc_.keys_.push_back(member->key);
    }
    order[at] = static_cast<std::uint32_t>((order.size() - at - 1) / 2);
    place_order(open, at);
}
}  // namespace corvanelle
