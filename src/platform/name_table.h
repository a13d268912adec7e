// A chained hash table of named items, and the process-wide pool of directory
// texts built on it (one pointer per distinct directory text for the run).
#pragma once

constexpr int BUCKET_SIZE_COUNT = 10;
// Bucket counts a table may have; a table takes the first one at least as large as asked.
extern const int bucket_sizes[BUCKET_SIZE_COUNT];

// An item kept in a NameHashTable, keyed by its text.
class HashItem {
 public:
  virtual ~HashItem() = 0;
  virtual const char* key() const = 0;
};

// A chained hash table of HashItem pointers. The table never owns its items
// unless release(true) is asked for.
class NameHashTable {
 public:
  explicit NameHashTable(int requested);
  virtual ~NameHashTable();  // release(false): the items are not destroyed

  virtual int insert(HashItem* item);         // 0, or -1 when an equal key is present (item not added)
  virtual int remove(HashItem* item);         // unlinks the item of equal key: 0, or -1 when none
  virtual HashItem* find(const char* key);    // as lookup
  virtual HashItem* item_at(int index);       // snapshot order; null outside 0..item_count-1
  virtual HashItem* get(const char* key);     // as find
  virtual HashItem* at(int index);            // as item_at
  virtual HashItem* lookup(const char* key);  // the item of equal key (case matters), or null
  virtual int snapshot();                     // rebuilds the item array if needed; answers item_count
  virtual void release(bool destroy_items);   // frees every cell (and item when asked); the table is then empty
  virtual int bucket_count() const;

  int item_count() const { return item_count_; }
  int probes() const { return probes_; }    // chain cells passed over during lookups
  int lookups() const { return lookups_; }  // lookup calls
  int bucket_of(const char* key) const;     // the bucket a key hashes to

  NameHashTable(const NameHashTable&) = delete;
  NameHashTable& operator=(const NameHashTable&) = delete;

 private:
  struct Cell {
    Cell* next;
    HashItem* item;  // always null in a bucket head
  };

  bool ensure_buckets();

  Cell* buckets_ = nullptr;     // bucket_count_ heads; chains hang off their next
  int bucket_count_ = 0;
  int item_count_ = 0;
  HashItem** items_ = nullptr;  // snapshot of all items in bucket order
  int probes_ = 0;
  int lookups_ = 0;
  int dirty_ = 0;               // 1 when the snapshot no longer matches the table
};

// A pooled directory text.
class DirectoryEntry : public HashItem {
 public:
  char* text;  // heap copy of the directory text
  int mark;    // 1 once the directory has been listed by the scanner

  explicit DirectoryEntry(char* owned_text) : text(owned_text), mark(0) {}
  ~DirectoryEntry() override;
  const char* key() const override { return text; }
};

// The pool of directory texts: entries are never removed during the run.
class DirectoryPool : public NameHashTable {
 public:
  DirectoryPool() : NameHashTable(203) {}
  DirectoryEntry* entry(const char* text) { return static_cast<DirectoryEntry*>(lookup(text)); }
  // The entry of text, created when absent; null when memory is short.
  DirectoryEntry* intern(const char* text);
};

// The process-wide pool, made on first use and kept to the end of the process.
DirectoryPool& directory_pool();
