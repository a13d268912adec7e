// The chained hash table of named items and the pool of directory texts.
#include "platform/name_table.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

const int bucket_sizes[BUCKET_SIZE_COUNT] = {5, 13, 23, 37, 73, 103, 203, 307, 983, 1501};

HashItem::~HashItem() {}

namespace {

uint32_t hash_key(const char* key) {
  uint32_t h = 0;
  for (const char* p = key; *p; ++p) h = static_cast<uint32_t>(static_cast<signed char>(*p)) + 8u * h + 17u;
  return h;
}

}  // namespace

NameHashTable::NameHashTable(int requested) {
  bucket_count_ = bucket_sizes[BUCKET_SIZE_COUNT - 1];
  for (int size : bucket_sizes) {
    if (size >= requested) {
      bucket_count_ = size;
      break;
    }
  }
  ensure_buckets();
}

NameHashTable::~NameHashTable() { release(false); }

bool NameHashTable::ensure_buckets() {
  if (!buckets_) buckets_ = static_cast<Cell*>(calloc(static_cast<size_t>(bucket_count_), sizeof(Cell)));
  return buckets_ != nullptr;
}

int NameHashTable::bucket_of(const char* key) const {
  return static_cast<int>(hash_key(key) % static_cast<uint32_t>(bucket_count_));
}

int NameHashTable::insert(HashItem* item) {
  if (!item || !ensure_buckets()) return -1;
  const char* key = item->key();
  Cell* cell = &buckets_[bucket_of(key)];
  for (; cell->next; cell = cell->next) {
    if (cell->next->item && strcmp(cell->next->item->key(), key) == 0) return -1;
  }
  Cell* added = static_cast<Cell*>(malloc(sizeof(Cell)));
  if (!added) return -1;
  added->next = nullptr;
  added->item = item;
  cell->next = added;
  ++item_count_;
  dirty_ = 1;
  return 0;
}

int NameHashTable::remove(HashItem* item) {
  if (!item || !buckets_) return -1;
  const char* key = item->key();
  for (Cell* cell = &buckets_[bucket_of(key)]; cell->next; cell = cell->next) {
    Cell* found = cell->next;
    if (found->item && strcmp(found->item->key(), key) == 0) {
      cell->next = found->next;
      free(found);
      --item_count_;
      dirty_ = 1;
      return 0;
    }
  }
  return -1;
}

HashItem* NameHashTable::find(const char* key) { return lookup(key); }

HashItem* NameHashTable::item_at(int index) {
  snapshot();
  if (index < 0 || index >= item_count_ || !items_) return nullptr;
  return items_[index];
}

HashItem* NameHashTable::get(const char* key) { return find(key); }

HashItem* NameHashTable::at(int index) { return item_at(index); }

HashItem* NameHashTable::lookup(const char* key) {
  ++lookups_;
  if (!key || !buckets_) return nullptr;
  for (Cell* cell = buckets_[bucket_of(key)].next; cell; cell = cell->next) {
    if (!cell->item) continue;
    if (strcmp(cell->item->key(), key) == 0) return cell->item;
    ++probes_;
  }
  return nullptr;
}

int NameHashTable::snapshot() {
  if (!dirty_) return item_count_;
  free(items_);
  items_ = nullptr;
  if (item_count_ > 0) {
    items_ = static_cast<HashItem**>(malloc(static_cast<size_t>(item_count_) * sizeof(HashItem*)));
    if (!items_) return item_count_;  // stays dirty: item_at answers null until memory allows
    int n = 0;
    for (int b = 0; b < bucket_count_; ++b) {
      for (Cell* cell = buckets_[b].next; cell; cell = cell->next) {
        if (cell->item) items_[n++] = cell->item;
      }
    }
  }
  dirty_ = 0;
  return item_count_;
}

void NameHashTable::release(bool destroy_items) {
  if (buckets_) {
    for (int b = 0; b < bucket_count_; ++b) {
      Cell* cell = buckets_[b].next;
      while (cell) {
        Cell* next = cell->next;
        if (destroy_items) delete cell->item;
        free(cell);
        cell = next;
      }
    }
  }
  free(buckets_);
  buckets_ = nullptr;
  free(items_);
  items_ = nullptr;
  item_count_ = 0;
  dirty_ = 0;
}

int NameHashTable::bucket_count() const { return bucket_count_; }

DirectoryEntry::~DirectoryEntry() { free(text); }

DirectoryEntry* DirectoryPool::intern(const char* text) {
  if (!text) return nullptr;
  if (DirectoryEntry* found = entry(text)) return found;
  char* copy = strdup(text);
  if (!copy) return nullptr;
  DirectoryEntry* created = new (std::nothrow) DirectoryEntry(copy);
  if (!created) {
    free(copy);
    return nullptr;
  }
  if (insert(created) != 0) {
    delete created;
    return nullptr;
  }
  return entry(text);
}

// The pool lives in static storage and is never destroyed: directory texts
// stay valid through exit handlers and the destructors of other statics.
DirectoryPool& directory_pool() {
  alignas(DirectoryPool) static unsigned char storage[sizeof(DirectoryPool)];
  static DirectoryPool* pool = new (storage) DirectoryPool();
  return *pool;
}
