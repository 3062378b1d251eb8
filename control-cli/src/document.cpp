#include "document.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace corvanelle {

bool Document::Value::find(std::string_view key, Value& found) const {
    const auto& span = node().number.span;
    const auto* first = doc_->member_order_.data() + span.offset;
    const auto* last = first + node().count;
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

Document::Node& DocumentBuilder::add(Document::Kind kind) {
    // An element of an open array counts towards its size; object members are counted at
    // the end, once repeated keys are dropped.
    if (!open_.empty()) {
        auto& parent = doc_.nodes_[open_.back().node];
        if (parent.kind == Document::Kind::array) {
            ++parent.count;
        }
    }
    auto& node = doc_.nodes_.emplace_back();
    node.kind = kind;
    return node;
}

void DocumentBuilder::add_text(Document::Node& node, std::string_view text) {
    node.number.span.offset = static_cast<std::uint32_t>(doc_.arena_.size());
    node.number.span.length = static_cast<std::uint32_t>(text.size());
    doc_.arena_.append(text);
}

void DocumentBuilder::null() {
    add(Document::Kind::null);
}
void DocumentBuilder::boolean(bool value) {
    add(Document::Kind::boolean).number.boolean = value;
}
void DocumentBuilder::unsigned_integer(std::uint64_t value) {
    add(Document::Kind::unsigned_integer).number.u = value;
}
void DocumentBuilder::signed_integer(std::int64_t value) {
    add(Document::Kind::signed_integer).number.i = value;
}
void DocumentBuilder::floating(double value) {
    add(Document::Kind::floating).number.d = value;
}
void DocumentBuilder::string(std::string_view text) {
    add_text(add(Document::Kind::string), text);
}

void DocumentBuilder::key(std::string_view text) {
    keys_.push_back(static_cast<std::uint32_t>(doc_.nodes_.size()));
    auto& node = doc_.nodes_.emplace_back();
    node.kind = Document::Kind::string;
    add_text(node, text);
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
    nodes[open.node].number.span.offset = offset;
    nodes[open.node].count = static_cast<std::uint32_t>(order.size() - offset);
    keys_.erase(first, keys_.end());
}

namespace {

void add_json(const nlohmann::json& value, DocumentBuilder& builder) {
    using nlohmann::json;
    switch (value.type()) {
        case json::value_t::boolean:
            builder.boolean(value.get<bool>());
            break;
        case json::value_t::number_unsigned:
            builder.unsigned_integer(value.get<std::uint64_t>());
            break;
        case json::value_t::number_integer:
            // Built values keep their sign: a non-negative one is written the same either way.
            builder.signed_integer(value.get<std::int64_t>());
            break;
        case json::value_t::number_float:
            builder.floating(value.get<double>());
            break;
        case json::value_t::string:
            builder.string(value.get_ref<const json::string_t&>());
            break;
        case json::value_t::array:
            builder.start_array();
            for (const json& item : value) {
                add_json(item, builder);
            }
            builder.end();
            break;
        case json::value_t::object:
            builder.start_object();
            for (const auto& [key, item] : value.items()) {
                builder.key(key);
                add_json(item, builder);
            }
            builder.end();
            break;
        case json::value_t::null:
        case json::value_t::binary:
        case json::value_t::discarded:
            builder.null();
            break;
    }
}

}  // namespace

Document Document::from_json(const nlohmann::json& value) {
    DocumentBuilder builder;
    add_json(value, builder);
    return builder.take();
}

}  // namespace corvanelle
