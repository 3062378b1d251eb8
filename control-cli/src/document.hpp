// The JSON value of a reply, laid out flat: every value is one node in document order, string
// bytes live in one arena, and every object keeps the order of its members by key bytes, a
// repeated key holding its last value. Reading a reply of a few MiB allocates a handful of
// arrays instead of one heap object per value, and freeing it is as cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace corvanelle {

class Document {
    struct Node;

  public:
    enum class Kind : std::uint8_t {
        null,
        boolean,
        unsigned_integer,  // non-negative integers that fit 64 bits
        signed_integer,    // negative integers that fit 64 bits
        floating,          // everything else, -0 included
        string,
        array,
        object,
    };

    // One value of the document, by position; cheap to copy, valid while the document lives.
    class Value {
      public:
        [[nodiscard]] Kind kind() const { return node().kind; }
        [[nodiscard]] bool boolean() const { return node().number.boolean; }
        [[nodiscard]] std::uint64_t unsigned_integer() const { return node().number.u; }
        [[nodiscard]] std::int64_t signed_integer() const { return node().number.i; }
        [[nodiscard]] double floating() const { return node().number.d; }
        [[nodiscard]] std::string_view text() const { return doc_->text_of(node()); }
        // Elements of an array, members of an object (after repeated keys are dropped).
        [[nodiscard]] std::size_t size() const { return node().count; }

        // Arrays: element i, in document order.
        template <typename Visit>
        void for_each_element(Visit&& visit) const;
        // Objects: each member's key and value, in ascending byte order of the keys.
        template <typename Visit>
        void for_each_member(Visit&& visit) const;
        // Objects: the member with this key, if there is one.
        [[nodiscard]] bool find(std::string_view key, Value& found) const;

      private:
        friend class Document;
        Value(const Document* doc, std::uint32_t index) : doc_(doc), index_(index) {}
        [[nodiscard]] const Node& node() const;
        const Document* doc_;
        std::uint32_t index_;
    };

    [[nodiscard]] Value root() const { return {this, 0}; }

    // The same value as a Document, for writing values this program builds itself.
    static Document from_json(const nlohmann::json& value);

  private:
    friend class DocumentBuilder;

    struct Node {
        Kind kind = Kind::null;
        std::uint32_t extent = 1;  // nodes in this value's subtree, itself included
        std::uint32_t count = 0;   // array elements or object members
        union {
            bool boolean;
            std::uint64_t u;
            std::int64_t i;
            double d;
            struct {
                std::uint32_t offset;  // strings: into the arena; objects: into member_order_
                std::uint32_t length;
            } span;
        } number{};
    };

    [[nodiscard]] std::string_view text_of(const Node& node) const {
        return {arena_.data() + node.number.span.offset, node.number.span.length};
    }

    std::vector<Node> nodes_;
    // For each object, the node indices of its keys in output order; a key's value follows it.
    std::vector<std::uint32_t> member_order_;
    std::string arena_;
};

// Builds a Document from parse events, in document order.
class DocumentBuilder {
  public:
    explicit DocumentBuilder(std::size_t text_hint = 0) { doc_.arena_.reserve(text_hint); }

    void null();
    void boolean(bool value);
    void unsigned_integer(std::uint64_t value);
    void signed_integer(std::int64_t value);
    void floating(double value);
    void string(std::string_view text);
    void key(std::string_view text);
    void start_array();
    void start_object();
    void end();  // of the innermost open array or object

    [[nodiscard]] std::size_t depth() const { return open_.size(); }
    Document take() { return std::move(doc_); }

  private:
    struct Open {
        std::uint32_t node;
        std::uint32_t first_key;  // where this object's keys start in keys_
    };
    Document::Node& add(Document::Kind kind);
    void add_text(Document::Node& node, std::string_view text);

    Document doc_;
    std::vector<Open> open_;
    std::vector<std::uint32_t> keys_;  // key nodes of the open objects, innermost last
};

inline const Document::Node& Document::Value::node() const {
    return doc_->nodes_[index_];
}

template <typename Visit>
void Document::Value::for_each_element(Visit&& visit) const {
    std::uint32_t child = index_ + 1;
    for (std::uint32_t n = 0; n < node().count; ++n) {
        visit(Value(doc_, child));
        child += doc_->nodes_[child].extent;
    }
}

template <typename Visit>
void Document::Value::for_each_member(Visit&& visit) const {
    const auto& span = node().number.span;
    for (std::uint32_t n = 0; n < node().count; ++n) {
        const std::uint32_t key = doc_->member_order_[span.offset + n];
        visit(doc_->text_of(doc_->nodes_[key]), Value(doc_, key + 1));
    }
}

}  // namespace corvanelle
