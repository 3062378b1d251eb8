// The shared folder: what every part of the program uses and none of them owns: the JSON
// value and its builder, the result type, plain bytes, UTF-8, the transfer loop and the fixed
// failure texts. Nothing here includes another folder.
#include "shared/document.hpp"

#include <algorithm>
#include <cstring>

namespace corvanelle {

bool Document::Value::find(std::string_view key, Value& found) const {
    const auto& span = node().payload.span;
    const auto* first = doc_->member_order_.data() + span.offset;
    const auto* last = first + span.length;
    const auto* at =
        std::lower_bound(first, last, key, [&](std::uint32_t k, std::string_view want) {
            return doc_->text_of(doc_->nodes_[k]) < want;
        });
    if (at == last || doc_->text_of(doc_->nodes_[*at]) != key) {
        return false;
    }
    found = Value(doc_, *at + 1);
    return true;
}

namespace {

// Every value takes at least one byte of text and all but the last a separator or a bracket,
// so a text holds at most about half its size in nodes ("[0,0,0]" is the densest); every key
// takes at least three bytes ("":) plus a value and a separator. These are upper bounds: the
// vectors never grow, and what is not used is never touched.
struct Reservation {
    std::size_t nodes;
    std::size_t member_order;
    std::size_t keys;
    std::size_t arena;
};

Reservation reservation_for(std::size_t text_size) {
    return {text_size / 2 + 2, text_size / 5 + 1, text_size / 5 + 1, text_size};
}

}  // namespace

DocumentBuilder::DocumentBuilder(std::size_t text_size) {
    const Reservation r = reservation_for(text_size);
    doc_.nodes_.reserve(r.nodes);
    doc_.member_order_.reserve(r.member_order);
    keys_.reserve(r.keys);
    doc_.arena_.reserve(r.arena);
}

std::size_t DocumentBuilder::reserved_bytes(std::size_t text_size) {
    const Reservation r = reservation_for(text_size);
    return r.nodes * sizeof(Document::Node) + (r.member_order + r.keys) * sizeof(std::uint32_t) +
           r.arena;
}

Document::Node& DocumentBuilder::add(Document::Kind kind) {
    // An element of an open array counts towards its size; object members are counted at
    // the end, once repeated keys are dropped.
    if (!open_.empty()) {
        auto& parent = doc_.nodes_[open_.back().node];
        if (parent.kind == Document::Kind::array) {
            ++parent.payload.span.length;
        }
    }
    auto& node = doc_.nodes_.emplace_back();
    node.kind = kind;
    return node;
}

Document::Node& DocumentBuilder::add_key_node() {
    keys_.push_back(static_cast<std::uint32_t>(doc_.nodes_.size()));
    auto& node = doc_.nodes_.emplace_back();
    node.kind = Document::Kind::string;
    return node;
}

void DocumentBuilder::set_text(Document::Node& node, std::string_view text) {
    auto& arena = doc_.arena_;
    std::size_t start = arena.size();
    if (parts_pending_) {
        start = parts_start_;
        parts_pending_ = false;
    }
    arena.append(text);
    node.payload.span.offset = static_cast<std::uint32_t>(start);
    node.payload.span.length = static_cast<std::uint32_t>(arena.size() - start);
}

void DocumentBuilder::string_part(std::string_view piece) {
    if (!parts_pending_) {
        parts_start_ = doc_.arena_.size();
        parts_pending_ = true;
    }
    doc_.arena_.append(piece);
}

void DocumentBuilder::null() {
    add(Document::Kind::null);
}
void DocumentBuilder::boolean(bool value) {
    add(Document::Kind::boolean).payload.boolean = value;
}
void DocumentBuilder::unsigned_integer(std::uint64_t value) {
    add(Document::Kind::unsigned_integer).payload.u = value;
}
void DocumentBuilder::signed_integer(std::int64_t value) {
    add(Document::Kind::signed_integer).payload.i = value;
}
void DocumentBuilder::floating(double value) {
    add(Document::Kind::floating).payload.d = value;
}
void DocumentBuilder::string(std::string_view text) {
    set_text(add(Document::Kind::string), text);
}
void DocumentBuilder::key(std::string_view text) {
    set_text(add_key_node(), text);
}

void DocumentBuilder::set_source_text(Document::Node& node, std::size_t offset,
                                      std::size_t length) {
    // The last piece of a string that came in pieces joins them in the arena.
    if (parts_pending_) {
        set_text(node, {doc_.source_base_ + offset, length});
        return;
    }
    node.in_source = true;
    node.payload.span = {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length)};
}

void DocumentBuilder::source_string(std::size_t offset, std::size_t length) {
    set_source_text(add(Document::Kind::string), offset, length);
}

void DocumentBuilder::source_key(std::size_t offset, std::size_t length) {
    set_source_text(add_key_node(), offset, length);
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
    nodes[open.node].extent = static_cast<std::uint32_t>(nodes.size() - open.node);
    if (nodes[open.node].kind != Document::Kind::object) {
        return;
    }
    // Members by key bytes; among equal keys the stable sort keeps document order, and the
    // last of them is the one that stays.
    const auto first = keys_.begin() + open.first_key;
    const auto text = [&](std::uint32_t k) { return doc_.text_of(nodes[k]); };
    const auto by_key = [&](std::uint32_t a, std::uint32_t b) { return text(a) < text(b); };
    if (keys_.end() - first <= 16) {
        // Most objects are small: an insertion sort is stable too, and allocates nothing.
        for (auto k = first; k != keys_.end(); ++k) {
            for (auto j = k; j != first && by_key(*j, *(j - 1)); --j) {
                std::iter_swap(j, j - 1);
            }
        }
    } else {
        std::stable_sort(first, keys_.end(), by_key);
    }
    auto& order = doc_.member_order_;
    const auto offset = static_cast<std::uint32_t>(order.size());
    for (auto k = first; k != keys_.end(); ++k) {
        if (k + 1 != keys_.end() && text(*k) == text(*(k + 1))) {
            continue;
        }
        order.push_back(*k);
    }
    nodes[open.node].payload.span = {offset, static_cast<std::uint32_t>(order.size() - offset)};
    keys_.erase(first, keys_.end());
}

}  // namespace corvanelle
