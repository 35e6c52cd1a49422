// CuckooHash as Python sees it: one row per method.
#include "binding/entry.hpp"
#include "cuckoo_hash/cuckoo_hash.hpp"

namespace brambleloft {

template <>
struct PythonName<CuckooHash> {
  static constexpr FixedString name{"CuckooHash"};
};

namespace {

using Methods = MethodTable<MethodRow<&CuckooHash::hash1, "hash1", Access::Shared, "key">,
                            MethodRow<&CuckooHash::hash2, "hash2", Access::Shared, "key">,
                            MethodRow<&CuckooHash::insert, "insert", Access::Exclusive, "key", "value">,
                            MethodRow<&CuckooHash::get, "get", Access::Shared, "key">,
                            MethodRow<&CuckooHash::remove, "remove", Access::Exclusive, "key">>;

constexpr ClassDefinition definition = define_class<CuckooHash, CuckooHash(std::uint64_t), "size">(Methods{});

}  // namespace

const ClassDefinition& cuckoo_hash_class() { return definition; }

}  // namespace brambleloft
