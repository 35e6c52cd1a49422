// CuckooHash as Python sees it: one row per method.
#include "binding/entry.hpp"
#include "cuckoo_hash/cuckoo_hash.hpp"

namespace brambleloft {

template <>
struct PythonName<CuckooHash> {
  static constexpr FixedString name{"CuckooHash"};
};

namespace {

PyMethodDef methods[] = {
    method<&CuckooHash::hash1, "hash1", Access::Shared, "key">(),
    method<&CuckooHash::hash2, "hash2", Access::Shared, "key">(),
    method<&CuckooHash::insert, "insert", Access::Exclusive, "key", "value">(),
    method<&CuckooHash::get, "get", Access::Shared, "key">(),
    method<&CuckooHash::remove, "remove", Access::Exclusive, "key">(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ClassDefinition definition = define_class<CuckooHash, CuckooHash(std::uint64_t), "size">(methods);

}  // namespace

const ClassDefinition& cuckoo_hash_class() { return definition; }

}  // namespace brambleloft
