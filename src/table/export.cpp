// Schemas, arrays and streams of the C data interface, each node with its
// own release callback and private data: a consumer may move any child out
// and release it apart from its parent, as the interface allows.
#include "table/export.h"

#include <string>
#include <vector>

namespace vlm::table {

namespace {

// A child we allocated: released unless its consumer moved it out (and
// so set its release to null), and freed.
template <class T>
void release_one(T* s) {
    if (s->release)
        s->release(s);
    delete s;
}

// The release callback of a schema or array whose private data is a Node
// listing its children and dictionary.
template <class T, class Node>
void release_node(T* s) {
    auto* node = static_cast<Node*>(s->private_data);
    for (T* c : node->children)
        release_one(c);
    if (node->dictionary)
        release_one(node->dictionary);
    delete node;
    s->release = nullptr;
}

// --- schemas ---------------------------------------------------------------

struct SchemaNode {
    std::string name;
    std::vector<ArrowSchema*> children;
    ArrowSchema* dictionary = nullptr;
};

constexpr auto release_schema = release_node<ArrowSchema, SchemaNode>;

// `format` is a static string; `name` is copied.
void make_schema(ArrowSchema* out, const char* format, std::string name, int64_t flags) {
    auto* node = new SchemaNode{std::move(name), {}, nullptr};
    *out = ArrowSchema{format, node->name.c_str(), nullptr, flags, 0, nullptr, nullptr, release_schema, node};
}

ArrowSchema* new_schema(const char* format, std::string name, int64_t flags) {
    auto* s = new ArrowSchema;
    make_schema(s, format, std::move(name), flags);
    return s;
}

// --- arrays ----------------------------------------------------------------

struct ArrayNode {
    // What this array's buffers point into; a batch's struct array keeps
    // none, its children keep theirs.
    std::shared_ptr<const Array> column;
    const void* buffers[3] = {};
    std::vector<ArrowArray*> children;
    ArrowArray* dictionary = nullptr;
};

constexpr auto release_array = release_node<ArrowArray, ArrayNode>;

const void* data_of(const SharedBlock& b) { return b ? static_cast<const void*>(b->data()) : nullptr; }

ArrowArray* new_array(int64_t length, int64_t nulls, ArrayNode* node, int64_t n_buffers) {
    auto* a = new ArrowArray;
    *a = ArrowArray{length, nulls, 0, n_buffers, static_cast<int64_t>(node->children.size()), node->buffers,
                    node->children.empty() ? nullptr : node->children.data(), node->dictionary,
                    release_array, node};
    return a;
}

// The string table: a utf8 array without nulls.
ArrowArray* strings_array(const std::shared_ptr<const Array>& table) {
    auto* node = new ArrayNode;
    node->column = table;
    node->buffers[1] = data_of(table->values);
    node->buffers[2] = data_of(table->data);
    return new_array(table->length, 0, node, 3);
}

ArrowArray* column_array(const std::shared_ptr<const Array>& col, const Field& f) {
    auto* node = new ArrayNode;
    node->column = col;
    if (f.type == Type::Null)
        return new_array(col->length, col->length, node, 0);
    node->buffers[0] = data_of(col->validity);
    node->buffers[1] = data_of(col->values);
    int64_t n = 2;
    if (f.dictionary) {
        node->dictionary = strings_array(col->dictionary);
    } else if (f.type == Type::String) {
        node->buffers[2] = data_of(col->data);
        n = 3;
    }
    return new_array(col->length, col->null_count, node, n);
}

// --- streams ---------------------------------------------------------------

struct StreamState {
    SharedTable table;
    size_t next = 0;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
    export_schema(*static_cast<StreamState*>(s->private_data)->table, out);
    return 0;
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* st = static_cast<StreamState*>(s->private_data);
    if (st->next >= st->table->batches.size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    export_batch(st->table, st->next++, out);
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* s) {
    delete static_cast<StreamState*>(s->private_data);
    s->release = nullptr;
}

}  // namespace

void export_schema(const TableData& table, ArrowSchema* out) {
    make_schema(out, "+s", "", 0);
    auto* node = static_cast<SchemaNode*>(out->private_data);
    for (const Field& f : table.fields) {
        ArrowSchema* child;
        if (f.dictionary) {
            child = new_schema("i", f.name, ARROW_FLAG_NULLABLE);
            ArrowSchema* dict = new_schema("u", "", 0);
            static_cast<SchemaNode*>(child->private_data)->dictionary = dict;
            child->dictionary = dict;
        } else {
            child = new_schema(arrow_format(f.type), f.name, ARROW_FLAG_NULLABLE);
        }
        node->children.push_back(child);
    }
    out->n_children = static_cast<int64_t>(node->children.size());
    out->children = node->children.empty() ? nullptr : node->children.data();
}

void export_batch(const SharedTable& table, size_t batch, ArrowArray* out) {
    const Batch& b = table->batches[batch];
    auto* node = new ArrayNode;
    for (size_t i = 0; i < b.columns.size(); ++i)
        node->children.push_back(column_array(b.columns[i], table->fields[i]));
    *out = ArrowArray{b.length, 0, 0, 1, static_cast<int64_t>(node->children.size()), node->buffers,
                      node->children.empty() ? nullptr : node->children.data(), nullptr, release_array, node};
}

void export_stream(SharedTable table, ArrowArrayStream* out) {
    *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release,
                            new StreamState{std::move(table), 0}};
}

}  // namespace vlm::table
