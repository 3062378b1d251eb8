// The program's JSON value, laid out flat: every value is one 8-byte node in document order,
// string bytes live in one arena (or, for a reply, stay where they were received), and every
// object keeps the order of its members by key bytes, a repeated key holding its last value;
// keys are kept beside the values, once for all the objects that repeat them.
// It carries every document the program handles: the version document, the request, the
// reply and the error envelope. A reply of a few MiB costs a handful of arrays, reserved once,
// instead of one heap object per value, and freeing it is as cheap.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "shared/owned_text.hpp"

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
        [[nodiscard]] Kind kind() const { return node().kind(); }
        [[nodiscard]] bool boolean() const { return node().field() != 0; }
        [[nodiscard]] std::uint64_t unsigned_integer() const {
            return node().in_source() ? doc_->source_unsigned(node()) : doc_->wide_[node().body];
        }
        [[nodiscard]] std::int64_t signed_integer() const {
            return node().in_source() ? doc_->source_signed(node())
                                      : static_cast<std::int64_t>(doc_->wide_[node().body]);
        }
        [[nodiscard]] double floating() const;
        [[nodiscard]] std::string_view text() const { return doc_->text_of(node()); }
        // Strings and keys: whether the text is the very bytes that stood between quotation
        // marks in the text the document was read from, where JSON allows no byte that needs
        // an escape, so that a writer can copy them as they are.
        [[nodiscard]] bool needs_no_escape() const { return node().in_source(); }
        // Numbers: the text the value was read from when the writers' text is made from it
        // (see DocumentBuilder::source_number), or else the empty text; and whether it is
        // that text itself, or its digits laid out anew.
        [[nodiscard]] std::string_view number_text() const {
            return node().in_source() ? doc_->text_of(node()) : std::string_view();
        }
        [[nodiscard]] bool number_text_as_written() const { return !node().relaid(); }
        // Strings, and numbers kept as their text: how many bytes from the start of the text
        // may be read, the text and whatever follows it in the same buffer (so that a writer
        // may copy a short text in whole blocks).
        [[nodiscard]] std::size_t readable() const { return doc_->readable_of(node()); }
        // Elements of an array, members of an object (after repeated keys are dropped).
        [[nodiscard]] std::size_t size() const {
            return node().kind() == Kind::object ? doc_->member_order_[node().field()]
                                                 : node().field();
        }

        // Arrays: each element, in document order.
        template <typename Visit>
        void for_each_element(Visit&& visit) const;
        // Objects: each member's key and value, in ascending byte order of the keys. The key
        // comes as its text, or as a string Value when the visitor takes one.
        template <typename Visit>
        void for_each_member(Visit&& visit) const;
        // Objects: the member with this key, if there is one.
        [[nodiscard]] bool find(std::string_view key, Value& found) const;

      private:
        friend class Document;
        Value(const Document* doc, const Node* node) : doc_(doc), node_(node) {}
        [[nodiscard]] const Node& node() const { return *node_; }
        const Document* doc_;
        const Node* node_;
    };

    [[nodiscard]] Value root() const { return {this, nodes_.data()}; }

    // The text the document was read from, handed back once the document is done with: the
    // document is left empty. (Empty text for a document that was built, not read.)
    OwnedText release_source() && {
        OwnedText source = std::move(source_);
        *this = Document();
        return source;
    }

  private:
    friend class DocumentBuilder;

    // One value in two 32-bit words: `head` holds the kind and two flags in its low five bits
    // and a 27-bit field above them, `body` one more number.
    //   boolean      field: the value
    //   number       kept as its text (in_source): field the text's length, body its offset
    //                in the source (relaid: the writers lay out its digits anew); a double
    //                zero (zero): field 1 when it is negative; otherwise body: where its 64
    //                bits are in wide_
    //   string       field: the length, body: the offset in the source (in_source, for bytes
    //                that stood in the source without escapes) or in the arena
    //   array        field: the element count, body: the extent
    //   object       field: where its members start in member_order_, body: the extent
    // The extent of an array or object is the nodes of its subtree, itself included; that of
    // any other value is 1.
    struct Node {
        static constexpr std::uint32_t kInSource = 8;
        static constexpr std::uint32_t kRelaid = 16;
        static constexpr std::uint32_t kZero = 16;  // of numbers not kept as their text
        static constexpr unsigned kFieldShift = 5;
        static constexpr std::uint32_t kFieldOne = std::uint32_t{1} << kFieldShift;
        // Fields hold numbers below this: ample for a text of the frame limit's size, which
        // holds fewer values, and bytes in a string, than half its size.
        static constexpr std::size_t kFieldLimit = std::size_t{1} << (32 - kFieldShift);

        std::uint32_t head = 0;
        std::uint32_t body = 0;

        [[nodiscard]] Kind kind() const { return static_cast<Kind>(head & 7); }
        [[nodiscard]] bool in_source() const { return (head & kInSource) != 0; }
        [[nodiscard]] bool relaid() const { return (head & kRelaid) != 0; }
        [[nodiscard]] bool zero() const { return (head & (kInSource | kZero)) == kZero; }
        [[nodiscard]] std::uint32_t field() const { return head >> kFieldShift; }
        [[nodiscard]] std::uint32_t extent() const { return kind() >= Kind::array ? body : 1; }
        void set_field(std::size_t value) {
            head = (head & (kFieldOne - 1)) | static_cast<std::uint32_t>(value << kFieldShift);
        }
    };
    static_assert(sizeof(Node) == 8, "a node is one word");
    static_assert(Kind::array > Kind::string && Kind::object > Kind::array,
                  "arrays and objects are the last kinds");

    // The values of numbers kept as their text.
    [[nodiscard]] std::uint64_t source_unsigned(const Node& node) const;
    [[nodiscard]] std::int64_t source_signed(const Node& node) const;

    [[nodiscard]] std::size_t readable_of(const Node& node) const {
        return (node.in_source() ? source_.size : arena_.size()) - node.body;
    }

    [[nodiscard]] std::string_view text_of(const Node& node) const {
        const char* base = node.in_source() ? source_base_ : arena_.data();
        return {base + node.body, node.field()};
    }

    std::vector<Node> nodes_;
    // The keys of objects, as string nodes: those of an object whose keys repeat the ones of an
    // object before it are not kept again.
    std::vector<Node> keys_;
    // The 64 bits of every number that is not kept as its text.
    std::vector<std::uint64_t> wide_;
    // For each object, a run: its member count, then for each member in output order its key
    // (in keys_) and how far its value's node is from the object's. Objects whose keys and
    // values stand alike share one run; every empty object has the one at 0.
    std::vector<std::uint32_t> member_order_;
    std::string arena_;
    // The text the document was read from, when its strings point into it, and who owns it.
    const char* source_base_ = nullptr;
    OwnedText source_;
};

// Builds a Document value by value, in document order: from parse events, or by hand for the
// documents the program makes itself (members in any order; a repeated key keeps the last).
class DocumentBuilder {
  public:
    DocumentBuilder() { doc_.member_order_.push_back(0); }
    // For reading a JSON text of `text_size` bytes: room for as many values as such a text can
    // hold, reserved once. Pages that are never used are never touched, so this costs nothing.
    explicit DocumentBuilder(std::size_t text_size);
    // The bytes that constructor reserves for a text of `text_size` bytes: what reading such a
    // text may take at most, besides the text itself (the stand-in host charges it up front).
    static std::size_t reserved_bytes(std::size_t text_size);

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

    // The text a reader reads from; strings inside it can then be taken without a copy. The
    // document owns it once it is adopted, which must happen before the document is taken.
    void use_source(const char* base, std::size_t size) {
        doc_.source_base_ = base;
        source_size_ = size;
    }
    void adopt_source(OwnedText source) { doc_.source_ = std::move(source); }
    // A string or key whose bytes are `length` bytes at `offset` of the source (or, after
    // string_part(), the last of its pieces).
    void source_string(std::size_t offset, std::size_t length);
    void source_key(std::size_t offset, std::size_t length);
    // A number whose text, `length` bytes at `offset` of the source, tells what the writers
    // write for it: exactly that text (`as_written`) for an integer of its kind (JSON writes
    // integers as the writers do) or a double whose number_form (report/number_text.hpp) is
    // as_read, or the text's digits laid out anew for one whose form is relaid. It is kept as
    // that text, unconverted, and converted only if someone asks for its value.
    void source_number(Document::Kind kind, std::size_t offset, std::size_t length,
                       bool as_written = true);
    // A piece of the next string or key, which string() or key() completes.
    void string_part(std::string_view piece);

    [[nodiscard]] std::size_t depth() const { return open_.size(); }
    Document take() { return std::move(doc_); }

  private:
    struct Open {
        std::uint32_t node;
        std::uint32_t first_key;  // where this object's keys start in keys_
    };
    using Node = Document::Node;
    // Objects of up to this many members are put in order on the stack.
    static constexpr std::size_t kSmallObject = 16;

    Node& add(Document::Kind kind);
    void order_members(const Open& open);
    void order_large(const Open& open);  // of more than kSmallObject members
    // A key's first eight bytes as a number whose order is theirs, shorter keys padded with
    // zero bytes: two keys whose prefixes differ are ordered by them alone. Equal prefixes say
    // nothing (a key may itself hold zero bytes) and are settled by the whole texts.
    [[nodiscard]] std::uint64_t order_prefix(const Node& key) const;
    Node& add_key_node();
    void wide(Document::Kind kind, std::uint64_t bits);
    void set_text(Node& node, std::string_view text);
    void set_source_text(Node& node, std::size_t offset, std::size_t length);
    // The object's members as the run at `at` of member_order_, or as a new run of `count`
    // members, member(i) giving the i-th in output order as its key in the document's keys_
    // and the node of its value.
    void place_order(const Open& open, std::uint32_t at);
    template <typename Member>
    std::uint32_t new_order(const Open& open, std::size_t count, Member member);

    // The order found for the last small object of each member count, by the places its keys
    // arrived in: the objects of a reply mostly repeat the keys of one before them in the same
    // order (arrays of like records), and then need no sorting and keep no keys of their own;
    // when their values also stand at the same places, the two objects share one run.
    struct KnownOrder {
        std::uint8_t count = kSmallObject + 1;  // none yet
        std::uint8_t kept = 0;                  // members left once repeated keys are dropped
        std::uint32_t order = 0;                // its run in member_order_
        std::uint32_t keys = 0;  // its keys in the document's keys_, in arrival order
        std::array<std::uint64_t, kSmallObject> prefixes{};
        std::array<std::uint32_t, kSmallObject> lengths{};  // of the keys, arrival order
        std::array<std::uint32_t, kSmallObject> offsets{};  // of the values from the object
        std::array<std::uint8_t, kSmallObject> places{};    // of the kept keys, in key order
    };

    Document doc_;
    std::array<KnownOrder, kSmallObject + 1> known_orders_{};
    std::vector<Open> open_;
    // A key of an open object and the node of its value, which is the next node added.
    struct OpenKey {
        Node key;
        std::uint32_t value;
    };
    std::vector<OpenKey> keys_;  // the keys of the open objects, innermost last
    std::size_t source_size_ = 0;
    std::size_t parts_start_ = 0;  // where the pending pieces of a string begin in the arena
    bool parts_pending_ = false;
};

// The builder's steps for each value, inline: a reader takes one for every value it reads.

[[gnu::always_inline]] inline Document::Node& DocumentBuilder::add(Document::Kind kind) {
    // An element of an open array counts towards its size; object members are counted at
    // the end, once repeated keys are dropped.
    if (!open_.empty()) {
        auto& parent = doc_.nodes_[open_.back().node];
        if (parent.kind() == Document::Kind::array) {
            parent.head += Node::kFieldOne;
        }
    }
    auto& node = doc_.nodes_.emplace_back();
    node.head = static_cast<std::uint32_t>(kind);
    return node;
}

[[gnu::always_inline]] inline Document::Node& DocumentBuilder::add_key_node() {
    auto& open_key = keys_.emplace_back();
    open_key.key.head = static_cast<std::uint32_t>(Document::Kind::string);
    open_key.value = static_cast<std::uint32_t>(doc_.nodes_.size());
    return open_key.key;
}

inline void DocumentBuilder::null() {
    add(Document::Kind::null);
}

inline void DocumentBuilder::boolean(bool value) {
    add(Document::Kind::boolean).set_field(value ? 1 : 0);
}

[[gnu::always_inline]] inline void DocumentBuilder::set_source_text(Node& node, std::size_t offset,
                                                                    std::size_t length) {
    // The last piece of a string that came in pieces joins them in the arena.
    if (parts_pending_) {
        set_text(node, {doc_.source_base_ + offset, length});
        return;
    }
    node.head |= Node::kInSource;
    node.set_field(length);
    node.body = static_cast<std::uint32_t>(offset);
}

[[gnu::always_inline]] inline void DocumentBuilder::source_string(std::size_t offset,
                                                                  std::size_t length) {
    set_source_text(add(Document::Kind::string), offset, length);
}

[[gnu::always_inline]] inline void DocumentBuilder::source_key(std::size_t offset,
                                                               std::size_t length) {
    set_source_text(add_key_node(), offset, length);
}

[[gnu::always_inline]] inline void DocumentBuilder::source_number(Document::Kind kind,
                                                                  std::size_t offset,
                                                                  std::size_t length,
                                                                  bool as_written) {
    auto& node = add(kind);
    node.head |= Node::kInSource | (as_written ? 0 : Node::kRelaid);
    node.set_field(length);
    node.body = static_cast<std::uint32_t>(offset);
}

template <typename Visit>
void Document::Value::for_each_element(Visit&& visit) const {
    const Node* child = node_ + 1;
    const std::uint32_t count = node().field();
    for (std::uint32_t n = 0; n < count; ++n) {
        visit(Value(doc_, child));
        child += child->extent();
    }
}

template <typename Visit>
void Document::Value::for_each_member(Visit&& visit) const {
    const std::uint32_t* member = doc_->member_order_.data() + node().field();
    const std::uint32_t* const end = member + 1 + 2 * std::size_t{member[0]};
    for (++member; member != end; member += 2) {
        const Node* key = doc_->keys_.data() + member[0];
        if constexpr (std::is_invocable_v<Visit&, Value, Value>) {
            visit(Value(doc_, key), Value(doc_, node_ + member[1]));
        } else {
            visit(doc_->text_of(*key), Value(doc_, node_ + member[1]));
        }
    }
}

}  // namespace corvanelle
