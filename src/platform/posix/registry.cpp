// The registry as one text file per root below <machine root>/Registry/.
//
// File format (UTF-8, one entry per line, fields separated by a tab):
//   CVNREG 1
//   K <tab> key path as created (SYSTEM\CurrentControlSet\...)
//   V <tab> type number <tab> value name <tab> data (text, or the DWORD in decimal)
// Value lines belong to the key line above them. Characters below 0x20 and
// '^' are written as ^XX (two hex digits), so names and texts may hold tabs
// and line ends. The root key is implicit.
//
// A change takes the exclusive lock on <root>.lock, reads the current file,
// writes the new content to <root>.reg.tmp, syncs it and renames it over
// <root>.reg. Readers take no lock: a rename replaces the file in one step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/posix/change_watcher.h"
#include "platform/posix/machine_root.h"
#include "platform/registry.h"

namespace cvn::platform {
namespace {

constexpr uint32_t kKeyDeleted = 1018;       // ERROR_KEY_DELETED
constexpr uint32_t kRegistryCorrupt = 1009;  // ERROR_BADDB
constexpr uint32_t kUnsupportedType = 1630;  // ERROR_UNSUPPORTED_TYPE
constexpr size_t kMaxKeyName = 255;

// Case folding for names: upper case for ASCII, Latin-1, Greek and Cyrillic
// letters; other characters compare exactly.
char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = FoldChar(c);
  return out;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

struct StoredValue {
  std::u16string name;
  RegistryValue value;
};

struct StoredKey {
  std::u16string path;  // as created
  std::vector<StoredValue> values;
};

// Folded full path -> key. The root key ("") is always present.
struct Store {
  std::map<std::u16string, StoredKey> keys;
  Store() { keys[u""] = StoredKey{}; }
};

std::string RootFolder() { return posix::MachineRoot() + "/Registry"; }
std::string StoreName(RegistryRoot) { return "HKLM"; }
std::string StoreFile(RegistryRoot root) { return RootFolder() + "/" + StoreName(root) + ".reg"; }

// ---- text form ----

void AppendEscaped(std::string& out, std::u16string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : Utf16ToUtf8(text)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '^') {
      out += '^';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(std::string_view in, std::u16string& out) {
  std::string bytes;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '^') {
      bytes += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = HexDigit(in[i + 1]);
    const int lo = HexDigit(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  out = Utf8ToUtf16(bytes);
  return true;
}

void AppendValueData(std::string& out, const RegistryValue& v) {
  if (v.type == RegistryType::kDword) {
    out += std::to_string(v.dword);
  } else {
    AppendEscaped(out, v.text);
  }
}

std::string Serialize(const Store& store) {
  std::string out = "CVNREG 1\n";
  for (const auto& [folded, key] : store.keys) {
    if (folded.empty()) {
      if (key.values.empty()) continue;
      out += "K\t\n";
    } else {
      out += "K\t";
      AppendEscaped(out, key.path);
      out += '\n';
    }
    for (const StoredValue& v : key.values) {
      out += "V\t" + std::to_string(static_cast<uint32_t>(v.value.type)) + '\t';
      AppendEscaped(out, v.name);
      out += '\t';
      AppendValueData(out, v.value);
      out += '\n';
    }
  }
  return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

uint32_t Parse(std::string_view text, Store& store) {
  store = Store{};
  size_t pos = text.find('\n');
  if (pos == std::string_view::npos || text.substr(0, pos) != "CVNREG 1") return kRegistryCorrupt;
  StoredKey* current = nullptr;
  while (++pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) return kRegistryCorrupt;  // torn last line
    const auto fields = SplitTabs(text.substr(pos, end - pos));
    pos = end;
    if (fields.size() == 2 && fields[0] == "K") {
      std::u16string path;
      if (!Unescape(fields[1], path)) return kRegistryCorrupt;
      StoredKey& key = store.keys[Fold(path)];
      key.path = path;
      current = &key;
    } else if (fields.size() == 4 && fields[0] == "V" && current != nullptr) {
      StoredValue v;
      const std::string type(fields[1]);
      if (type == "1" || type == "2") {
        v.value.type = type == "1" ? RegistryType::kString : RegistryType::kExpandString;
        if (!Unescape(fields[3], v.value.text)) return kRegistryCorrupt;
      } else if (type == "4") {
        v.value.type = RegistryType::kDword;
        char* stop = nullptr;
        const std::string number(fields[3]);
        const unsigned long n = std::strtoul(number.c_str(), &stop, 10);
        if (number.empty() || *stop != '\0' || n > 0xFFFFFFFFul) return kRegistryCorrupt;
        v.value.dword = static_cast<uint32_t>(n);
      } else {
        return kRegistryCorrupt;
      }
      if (!Unescape(fields[2], v.name)) return kRegistryCorrupt;
      current->values.push_back(std::move(v));
    } else {
      return kRegistryCorrupt;
    }
  }
  // Every key's parents exist.
  for (const auto& [folded, key] : store.keys) {
    const size_t sep = folded.rfind(u'\\');
    if (sep != std::u16string::npos && store.keys.count(folded.substr(0, sep)) == 0) {
      return kRegistryCorrupt;
    }
  }
  return err::kSuccess;
}

uint32_t ReadWholeFile(const std::string& path, std::string& out, struct stat& st) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return posix::ErrnoToWin32(errno);
  out.clear();
  uint32_t result = err::kSuccess;
  if (fstat(fd, &st) != 0) {
    result = posix::ErrnoToWin32(errno);
  } else {
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = posix::ErrnoToWin32(errno);
        break;
      }
      if (n == 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return result;
}

// The store as it is now. Parsed stores are cached per file and reused while
// the file is the same one (a change always renames a new file into place).
struct CacheEntry {
  ino_t ino = 0;
  timespec mtime{};
  off_t size = 0;
  std::shared_ptr<const Store> store;
};

uint32_t LoadStore(RegistryRoot root, std::shared_ptr<const Store>& out) {
  static std::mutex mu;
  static std::map<std::string, CacheEntry> cache;
  const std::string file = StoreFile(root);
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    if (errno != ENOENT) return posix::ErrnoToWin32(errno);
    out = std::make_shared<const Store>();
    return err::kSuccess;
  }
  {
    std::lock_guard lk(mu);
    auto it = cache.find(file);
    if (it != cache.end() && it->second.ino == st.st_ino && it->second.size == st.st_size &&
        it->second.mtime.tv_sec == st.st_mtim.tv_sec &&
        it->second.mtime.tv_nsec == st.st_mtim.tv_nsec) {
      out = it->second.store;
      return err::kSuccess;
    }
  }
  std::string text;
  uint32_t result = ReadWholeFile(file, text, st);
  if (result == err::kFileNotFound) {
    out = std::make_shared<const Store>();
    return err::kSuccess;
  }
  if (result != err::kSuccess) return result;
  auto store = std::make_shared<Store>();
  result = Parse(text, *store);
  if (result != err::kSuccess) return result;
  std::lock_guard lk(mu);
  cache[file] = CacheEntry{st.st_ino, st.st_mtim, st.st_size, store};
  out = store;
  return err::kSuccess;
}

// Runs change on a copy of the current store under the writers' lock and
// writes the result when change reports a modification.
uint32_t ModifyStore(RegistryRoot root, const std::function<uint32_t(Store&, bool&)>& change) {
  const std::string folder = RootFolder();
  uint32_t result = posix::MakeNativeFolders(folder);
  if (result != err::kSuccess && result != err::kAlreadyExists) return result;
  const std::string base = folder + "/" + StoreName(root);
  posix::FileLock lock;
  result = lock.Take(base + ".lock", true, true);
  if (result != err::kSuccess) return result;
  std::shared_ptr<const Store> current;
  result = LoadStore(root, current);
  if (result == err::kSuccess) {
    Store copy = *current;
    bool modified = false;
    result = change(copy, modified);
    if (result == err::kSuccess && modified) {
      const std::string text = Serialize(copy);
      const std::string tmp = base + ".reg.tmp";
      const int fd = posix::OpenDataFile(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
      if (fd < 0) {
        result = posix::ErrnoToWin32(errno);
      } else {
        size_t done = 0;
        while (done < text.size()) {
          const ssize_t n = write(fd, text.data() + done, text.size() - done);
          if (n < 0 && errno == EINTR) continue;
          if (n < 0) {
            result = posix::ErrnoToWin32(errno);
            break;
          }
          done += static_cast<size_t>(n);
        }
        if (result == err::kSuccess && fsync(fd) != 0) result = posix::ErrnoToWin32(errno);
        close(fd);
        if (result == err::kSuccess && rename(tmp.c_str(), (base + ".reg").c_str()) != 0) {
          result = posix::ErrnoToWin32(errno);
        }
        if (result != err::kSuccess) unlink(tmp.c_str());
      }
    }
  }
  return result;
}

// Splits a key path at '\', dropping empty parts; 87 for an overlong name.
uint32_t SplitPath(std::u16string_view path, std::vector<std::u16string>& parts) {
  parts.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t sep = path.find(u'\\', start);
    if (sep == std::u16string_view::npos) sep = path.size();
    if (sep > start) {
      if (sep - start > kMaxKeyName) return err::kInvalidParameter;
      parts.emplace_back(path.substr(start, sep - start));
    }
    start = sep + 1;
  }
  return err::kSuccess;
}

std::u16string Join(std::u16string_view base, std::u16string_view name) {
  if (base.empty()) return std::u16string(name);
  std::u16string out(base);
  out += u'\\';
  out += name;
  return out;
}

// The keys of store directly below (or anywhere below, with deep) the key
// with folded path parent, as pointers into the store.
std::vector<const StoredKey*> KeysBelow(const Store& store, const std::u16string& parent,
                                        bool deep) {
  std::vector<const StoredKey*> out;
  const std::u16string prefix = parent.empty() ? std::u16string() : parent + u'\\';
  for (auto it = store.keys.lower_bound(prefix); it != store.keys.end(); ++it) {
    const std::u16string& folded = it->first;
    if (folded.compare(0, prefix.size(), prefix) != 0) break;
    if (folded.size() == prefix.size()) continue;  // the root itself
    if (!deep && folded.find(u'\\', prefix.size()) != std::u16string::npos) continue;
    out.push_back(&it->second);
  }
  return out;
}

std::u16string LastName(const std::u16string& path) {
  const size_t sep = path.rfind(u'\\');
  return sep == std::u16string::npos ? path : path.substr(sep + 1);
}

// What a notification compares: the names of the keys in scope, and with
// kRegNotifyLastSet their values.
std::string Signature(const Store& store, const std::u16string& folded, bool subtree,
                      uint32_t filter) {
  auto self = store.keys.find(folded);
  if (self == store.keys.end()) return "\x01gone";
  std::string out;
  auto add_values = [&](const StoredKey& key) {
    for (const StoredValue& v : key.values) {
      out += "V" + std::to_string(static_cast<uint32_t>(v.value.type)) + '\t';
      AppendEscaped(out, Fold(v.name));
      out += '\t';
      AppendValueData(out, v.value);
      out += '\n';
    }
  };
  if ((filter & kRegNotifyLastSet) != 0) add_values(self->second);
  for (const StoredKey* key : KeysBelow(store, folded, subtree)) {
    if ((filter & kRegNotifyName) != 0) {
      out += "K";
      AppendEscaped(out, Fold(key->path));
      out += '\n';
    }
    if (subtree && (filter & kRegNotifyLastSet) != 0) add_values(*key);
  }
  return out;
}

struct NotifyRequest {
  RegistryRoot root;
  std::u16string folded;
  bool subtree = false;
  uint32_t filter = 0;
  Event event;
  std::string signature;
  std::atomic<bool> done{false};
  uint64_t watch = 0;

  // Sets the event once when the store no longer matches the signature.
  void Check() {
    if (done) return;
    std::shared_ptr<const Store> store;
    if (LoadStore(root, store) != err::kSuccess) return;
    if (Signature(*store, folded, subtree, filter) != signature) {
      done = true;
      event.Set();
    }
  }
};

}  // namespace

struct RegistryKey::Impl {
  RegistryRoot root = RegistryRoot::kLocalMachine;
  std::u16string path;    // as given by the first opener that created it
  std::u16string folded;  // lookup form
  std::vector<std::shared_ptr<NotifyRequest>> requests;

  ~Impl() { DropRequests(true); }

  void DropRequests(bool all) {
    for (auto it = requests.begin(); it != requests.end();) {
      if (all || (*it)->done) {
        posix::UnwatchFolder((*it)->watch);
        it = requests.erase(it);
      } else {
        ++it;
      }
    }
  }

  // The key in the current store; 1018 when it was deleted.
  uint32_t Find(std::shared_ptr<const Store>& store, const StoredKey*& key) const {
    const uint32_t result = LoadStore(root, store);
    if (result != err::kSuccess) return result;
    auto it = store->keys.find(folded);
    if (it == store->keys.end()) return kKeyDeleted;
    key = &it->second;
    return err::kSuccess;
  }

  uint32_t ChangeValues(const std::function<uint32_t(std::vector<StoredValue>&, bool&)>& change) {
    return ModifyStore(root, [&](Store& store, bool& modified) {
      auto it = store.keys.find(folded);
      if (it == store.keys.end()) return kKeyDeleted;
      return change(it->second.values, modified);
    });
  }

  uint32_t SetValue(std::u16string_view name, RegistryValue value) {
    return ChangeValues([&](std::vector<StoredValue>& values, bool& modified) {
      modified = true;
      for (StoredValue& v : values) {
        if (SameName(v.name, name)) {
          v.value = std::move(value);
          return err::kSuccess;
        }
      }
      values.push_back(StoredValue{std::u16string(name), std::move(value)});
      return err::kSuccess;
    });
  }
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&& other) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept = default;

namespace {

uint32_t OpenOrCreate(RegistryRoot root, std::u16string_view base, std::u16string_view path,
                      bool create, bool* created, std::unique_ptr<RegistryKey::Impl>& out) {
  std::vector<std::u16string> parts;
  uint32_t result = SplitPath(path, parts);
  if (result != err::kSuccess) return result;
  if (created != nullptr) *created = false;
  std::shared_ptr<const Store> store;
  result = LoadStore(root, store);
  if (result != err::kSuccess) return result;
  // Walks the names, taking the stored case of keys that exist.
  auto resolve = [&](const Store& s, std::u16string& display, bool& complete) {
    display = std::u16string(base);
    complete = true;
    for (const std::u16string& part : parts) {
      const std::u16string next = Join(display, part);
      auto it = s.keys.find(Fold(next));
      if (it == s.keys.end()) {
        complete = false;
        return;
      }
      display = it->second.path;
    }
  };
  if (!base.empty() && store->keys.count(Fold(base)) == 0) return kKeyDeleted;
  std::u16string display;
  bool complete = false;
  resolve(*store, display, complete);
  if (!complete) {
    if (!create) return err::kFileNotFound;
    result = ModifyStore(root, [&](Store& s, bool& modified) {
      if (!base.empty() && s.keys.count(Fold(base)) == 0) return kKeyDeleted;
      std::u16string current(base);
      for (const std::u16string& part : parts) {
        const std::u16string next = Join(current, part);
        auto [it, inserted] = s.keys.try_emplace(Fold(next));
        if (inserted) {
          it->second.path = next;
          modified = true;
        }
        current = it->second.path;
      }
      display = current;
      return err::kSuccess;
    });
    if (result != err::kSuccess) return result;
    if (created != nullptr) *created = true;
  }
  out = std::make_unique<RegistryKey::Impl>();
  out->root = root;
  out->path = display;
  out->folded = Fold(display);
  return err::kSuccess;
}

}  // namespace

uint32_t RegistryKey::Open(RegistryRoot root, std::u16string_view path) {
  Close();
  return OpenOrCreate(root, u"", path, false, nullptr, impl_);
}

uint32_t RegistryKey::Open(const RegistryKey& parent, std::u16string_view path) {
  if (!parent.IsOpen()) return err::kInvalidHandle;
  std::unique_ptr<Impl> impl;
  const uint32_t result =
      OpenOrCreate(parent.impl_->root, parent.impl_->path, path, false, nullptr, impl);
  if (result == err::kSuccess) impl_ = std::move(impl);
  return result;
}

uint32_t RegistryKey::Create(RegistryRoot root, std::u16string_view path, bool* created) {
  Close();
  return OpenOrCreate(root, u"", path, true, created, impl_);
}

uint32_t RegistryKey::Create(const RegistryKey& parent, std::u16string_view path, bool* created) {
  if (!parent.IsOpen()) return err::kInvalidHandle;
  std::unique_ptr<Impl> impl;
  const uint32_t result =
      OpenOrCreate(parent.impl_->root, parent.impl_->path, path, true, created, impl);
  if (result == err::kSuccess) impl_ = std::move(impl);
  return result;
}

bool RegistryKey::IsOpen() const { return impl_ != nullptr; }

void RegistryKey::Close() { impl_.reset(); }

uint32_t RegistryKey::QueryValue(std::u16string_view name, RegistryValue& value) const {
  if (!IsOpen()) return err::kInvalidHandle;
  std::shared_ptr<const Store> store;
  const StoredKey* key = nullptr;
  const uint32_t result = impl_->Find(store, key);
  if (result != err::kSuccess) return result;
  for (const StoredValue& v : key->values) {
    if (SameName(v.name, name)) {
      value = v.value;
      return err::kSuccess;
    }
  }
  return err::kFileNotFound;
}

uint32_t RegistryKey::QueryString(std::u16string_view name, std::u16string& text) const {
  RegistryValue value;
  const uint32_t result = QueryValue(name, value);
  if (result != err::kSuccess) return result;
  if (value.type != RegistryType::kString && value.type != RegistryType::kExpandString) {
    return kUnsupportedType;
  }
  text = std::move(value.text);
  return err::kSuccess;
}

uint32_t RegistryKey::QueryExpandedString(std::u16string_view name, std::u16string& text) const {
  RegistryValue value;
  const uint32_t result = QueryValue(name, value);
  if (result != err::kSuccess) return result;
  if (value.type == RegistryType::kString) {
    text = std::move(value.text);
  } else if (value.type == RegistryType::kExpandString) {
    text = ExpandEnvironmentText(value.text);
  } else {
    return kUnsupportedType;
  }
  return err::kSuccess;
}

uint32_t RegistryKey::QueryDword(std::u16string_view name, uint32_t& out) const {
  RegistryValue value;
  const uint32_t result = QueryValue(name, value);
  if (result != err::kSuccess) return result;
  if (value.type != RegistryType::kDword) return kUnsupportedType;
  out = value.dword;
  return err::kSuccess;
}

uint32_t RegistryKey::SetString(std::u16string_view name, std::u16string_view text) {
  if (!IsOpen()) return err::kInvalidHandle;
  return impl_->SetValue(name, RegistryValue{RegistryType::kString, std::u16string(text), 0});
}

uint32_t RegistryKey::SetExpandString(std::u16string_view name, std::u16string_view text) {
  if (!IsOpen()) return err::kInvalidHandle;
  return impl_->SetValue(name, RegistryValue{RegistryType::kExpandString, std::u16string(text), 0});
}

uint32_t RegistryKey::SetDword(std::u16string_view name, uint32_t value) {
  if (!IsOpen()) return err::kInvalidHandle;
  return impl_->SetValue(name, RegistryValue{RegistryType::kDword, std::u16string(), value});
}

uint32_t RegistryKey::DeleteValue(std::u16string_view name) {
  if (!IsOpen()) return err::kInvalidHandle;
  return impl_->ChangeValues([&](std::vector<StoredValue>& values, bool& modified) {
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (SameName(it->name, name)) {
        values.erase(it);
        modified = true;
        return err::kSuccess;
      }
    }
    return err::kFileNotFound;
  });
}

uint32_t RegistryKey::EnumSubkeys(std::vector<std::u16string>& names) const {
  names.clear();
  if (!IsOpen()) return err::kInvalidHandle;
  std::shared_ptr<const Store> store;
  const StoredKey* key = nullptr;
  const uint32_t result = impl_->Find(store, key);
  if (result != err::kSuccess) return result;
  std::vector<std::pair<std::u16string, std::u16string>> sorted;
  for (const StoredKey* child : KeysBelow(*store, impl_->folded, false)) {
    std::u16string name = LastName(child->path);
    sorted.emplace_back(Fold(name), std::move(name));
  }
  std::sort(sorted.begin(), sorted.end());
  for (auto& entry : sorted) names.push_back(std::move(entry.second));
  return err::kSuccess;
}

uint32_t RegistryKey::EnumSubkey(uint32_t index, std::u16string& name) const {
  std::vector<std::u16string> names;
  const uint32_t result = EnumSubkeys(names);
  if (result != err::kSuccess) return result;
  if (index >= names.size()) return err::kNoMoreItems;
  name = std::move(names[index]);
  return err::kSuccess;
}

uint32_t RegistryKey::EnumValues(std::vector<std::u16string>& names) const {
  names.clear();
  if (!IsOpen()) return err::kInvalidHandle;
  std::shared_ptr<const Store> store;
  const StoredKey* key = nullptr;
  const uint32_t result = impl_->Find(store, key);
  if (result != err::kSuccess) return result;
  for (const StoredValue& v : key->values) names.push_back(v.name);
  return err::kSuccess;
}

namespace {

uint32_t DeleteBelow(RegistryKey::Impl& impl, std::u16string_view name, bool tree) {
  std::vector<std::u16string> parts;
  uint32_t result = SplitPath(name, parts);
  if (result != err::kSuccess) return result;
  if (parts.empty()) return err::kInvalidParameter;
  std::u16string target = impl.folded;
  for (const std::u16string& part : parts) target = Join(target, Fold(part));
  return ModifyStore(impl.root, [&](Store& store, bool& modified) {
    if (store.keys.count(impl.folded) == 0) return kKeyDeleted;
    if (store.keys.count(target) == 0) return err::kFileNotFound;
    const std::u16string prefix = target + u'\\';
    auto first = store.keys.lower_bound(prefix);
    const bool has_children =
        first != store.keys.end() && first->first.compare(0, prefix.size(), prefix) == 0;
    if (has_children && !tree) return err::kAccessDenied;
    while (first != store.keys.end() && first->first.compare(0, prefix.size(), prefix) == 0) {
      first = store.keys.erase(first);
    }
    store.keys.erase(target);
    modified = true;
    return err::kSuccess;
  });
}

}  // namespace

uint32_t RegistryKey::DeleteSubkey(std::u16string_view name) {
  if (!IsOpen()) return err::kInvalidHandle;
  return DeleteBelow(*impl_, name, false);
}

uint32_t RegistryKey::DeleteTree(std::u16string_view name) {
  if (!IsOpen()) return err::kInvalidHandle;
  return DeleteBelow(*impl_, name, true);
}

uint32_t RegistryKey::Notify(const Event& event, bool watch_subtree, uint32_t filter) {
  if (!IsOpen()) return err::kInvalidHandle;
  if (!event.IsValid() || (filter & (kRegNotifyName | kRegNotifyLastSet)) == 0) {
    return err::kInvalidParameter;
  }
  impl_->DropRequests(false);
  const std::string folder = RootFolder();
  uint32_t result = posix::MakeNativeFolders(folder);
  if (result != err::kSuccess && result != err::kAlreadyExists) return result;

  auto request = std::make_shared<NotifyRequest>();
  request->root = impl_->root;
  request->folded = impl_->folded;
  request->subtree = watch_subtree;
  request->filter = filter;
  request->event = event;
  std::shared_ptr<const Store> store;
  result = LoadStore(impl_->root, store);
  if (result != err::kSuccess) return result;
  if (store->keys.count(impl_->folded) == 0) return kKeyDeleted;
  request->signature = Signature(*store, impl_->folded, watch_subtree, filter);

  const std::string file_name = StoreName(impl_->root) + ".reg";
  std::weak_ptr<NotifyRequest> weak = request;
  request->watch = posix::WatchFolder(folder, [weak, file_name](const std::string& changed) {
    if (!changed.empty() && changed != file_name) return;
    if (auto r = weak.lock()) r->Check();
  });
  if (request->watch == 0) return 31;  // ERROR_GEN_FAILURE: no inotify
  // A change made between the signature and the watch is caught here.
  request->Check();
  impl_->requests.push_back(std::move(request));
  return err::kSuccess;
}

std::u16string ExpandEnvironmentText(std::u16string_view text) {
  auto lookup = [](std::u16string_view name, std::u16string& value) {
    value = GetEnvironmentValue(name);
    if (!value.empty()) return true;
    const std::u16string root = Utf8ToUtf16(posix::MachineRoot());
    if (SameName(name, u"SystemRoot") || SameName(name, u"windir")) {
      value = root + u"/Windows";
    } else if (SameName(name, u"ProgramData") || SameName(name, u"ALLUSERSPROFILE")) {
      value = root + u"/ProgramData";
    } else if (SameName(name, u"ProgramFiles")) {
      value = root + u"/Program Files";
    } else if (SameName(name, u"SystemDrive")) {
      value = root;
    } else {
      return false;
    }
    return true;
  };
  std::u16string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open_pct = text.find(u'%', pos);
    if (open_pct == std::u16string_view::npos) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, open_pct - pos));
    const size_t close_pct = text.find(u'%', open_pct + 1);
    std::u16string value;
    if (close_pct != std::u16string_view::npos && close_pct > open_pct + 1 &&
        lookup(text.substr(open_pct + 1, close_pct - open_pct - 1), value)) {
      out += value;
      pos = close_pct + 1;
    } else {
      out += u'%';
      pos = open_pct + 1;
    }
  }
  return out;
}

}  // namespace cvn::platform
