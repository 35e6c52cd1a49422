// Generic entries: one template instance per table row turns a member function of
// a native core into a Python method, in the fast calling convention (3.10 on) and, for a
// build that also serves 3.8 and 3.9, in the tuple convention. Each call runs, in this order: bind, take
// access, convert the arguments first to last, call, convert the result; access is
// given up on every path by the guard. No entry is noexcept: a thread ended at exit unwinds
// through them.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/conversion.hpp"
#include "binding/function_description.hpp"
#include "errors/trap.hpp"
#include "module/class_definition.hpp"
#include "module/instance.hpp"

namespace brambleloft {

template <std::size_t N>
struct FixedString {
  char text[N];
  consteval FixedString(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  static constexpr std::size_t length = N - 1;
};

// Each class that Python sees names itself:
//   template <> struct PythonName<DAG> { static constexpr FixedString name{"DAG"}; };
template <class State>
struct PythonName;

namespace detail {

template <class>
struct MemberTraits;
template <class C, class R, class... A>
struct MemberTraits<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct MemberTraits<R (C::*)(A...) const> : MemberTraits<R (C::*)(A...)> {};

// "name(first, second)\n--\n\n", with `prefix` before the first parameter.
template <FixedString Name, FixedString Prefix, FixedString... Params>
consteval auto text_signature() {
  constexpr std::size_t count = sizeof...(Params);
  constexpr std::size_t size = Name.length + 1 + Prefix.length + (Params.length + ... + 0) +
                               (count > 0 ? 2 * (count - 1) : 0) + (Prefix.length > 0 && count > 0 ? 2 : 0) +
                               1 + 5 + 1;
  std::array<char, size> out{};
  std::size_t at = 0;
  auto put = [&](const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[at++] = s[i];
  };
  put(Name.text, Name.length);
  put("(", 1);
  put(Prefix.text, Prefix.length);
  [[maybe_unused]] bool first = Prefix.length == 0;
  (
      [&] {
        if (!first) put(", ", 2);
        first = false;
        put(Params.text, Params.length);
      }(),
      ...);
  put(")\n--\n\n", 6);
  out[at] = '\0';
  return out;
}

template <FixedString Name, FixedString Prefix, FixedString... Params>
inline constexpr auto signature_text = text_signature<Name, Prefix, Params...>();

template <FixedString... Params>
inline constexpr std::array<const char*, sizeof...(Params)> parameter_names{Params.text...};

// Converts the slots, strictly first to last (braced initialisation); a failure
// carries the note naming its parameter.
template <class Args, std::size_t... I>
auto convert_all(PyObject* const* slots, const char* const* names, std::index_sequence<I...>) {
  return std::tuple<Argument<std::tuple_element_t<I, Args>>...>{
      Argument<std::tuple_element_t<I, Args>>(slots[I], names[I])...};
}

template <class F, class Converted, std::size_t... I>
PyObject* call_and_convert(F&& f, Converted& converted, std::index_sequence<I...>) {
  using Result = decltype(f(std::get<I>(converted).get()...));
  if constexpr (std::is_void_v<Result>) {
    f(std::get<I>(converted).get()...);
    return none();
  } else {
    return to_python(f(std::get<I>(converted).get()...));
  }
}

}  // namespace detail

// The fast convention's flag and function type: fixed since 3.7 and in the stable ABI from 3.10,
// but not declared by the 3.8 limited API's headers.
inline constexpr int kMethFastcall = 0x0080;
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <auto Method, FixedString Name, Access kind, FixedString... Params>
struct MethodEntry {
  using Traits = detail::MemberTraits<decltype(Method)>;
  using State = typename Traits::Class;
  using Args = typename Traits::Args;
  static_assert(std::tuple_size_v<Args> == sizeof...(Params), "one name per parameter");

  static constexpr FunctionDescription description{PythonName<State>::name.text, Name.text,
                                                   detail::parameter_names<Params...>};

  // Flattened: an operation defined inline (CuckooHash::get) joins the entry
  // rather than returning its answer through memory.
  [[gnu::flatten]] static PyObject* call_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return call(self, FastArguments{args, nargs, kwnames});
  }
#if BRAMBLELOFT_BEFORE_3_10
  [[gnu::flatten]] static PyObject* call_tuple(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call(self, TupleArguments{args, kwargs});
  }
#endif

  template <class Arguments>
  [[gnu::always_inline]] static PyObject* call(PyObject* self, const Arguments& arguments) {
    return fault_trap([&]() -> PyObject* {
      PyObject* slots[sizeof...(Params) + 1] = {};
      bind_arguments<sizeof...(Params)>(description, arguments, slots);
      auto* instance = Instance<State>::from(self);
      AccessGuard<PythonThreads, kind, PythonInstanceLock> access(instance->lock);
      constexpr auto sequence = std::make_index_sequence<sizeof...(Params)>();
      auto converted = detail::convert_all<Args>(slots, description.parameters.data(), sequence);
      auto operation = [&](auto&&... a) -> decltype(auto) {
        return (instance->state.*Method)(std::forward<decltype(a)>(a)...);
      };
      return access.run([&] { return detail::call_and_convert(operation, converted, sequence); });
    });
  }
};

// One row of a class's method table.
template <auto Method, FixedString Name, Access kind, FixedString... Params>
struct MethodRow {
  using Entry = MethodEntry<Method, Name, kind, Params...>;
  static constexpr const char* doc = detail::signature_text<Name, "$self", Params...>.data();

  static constexpr PyMethodDef fast() {
    return PyMethodDef{Name.text,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry::call_fast)),
                       kMethFastcall | METH_KEYWORDS, doc};
  }
#if BRAMBLELOFT_BEFORE_3_10
  static constexpr PyMethodDef tuple() {
    return PyMethodDef{Name.text,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry::call_tuple)),
                       METH_VARARGS | METH_KEYWORDS, doc};
  }
#endif
};

// A class's method table in each calling convention this build may use; the class takes the
// one its interpreter runs (module.cpp).
template <class... Rows>
struct MethodTable {
  static inline PyMethodDef fast[] = {Rows::fast()..., {nullptr, nullptr, 0, nullptr}};
#if BRAMBLELOFT_BEFORE_3_10
  static inline PyMethodDef tuple[] = {Rows::tuple()..., {nullptr, nullptr, 0, nullptr}};
#endif
};

// The constructor entry: bind, convert, build the state, then make the instance.
template <class State, class Signature, FixedString... Params>
struct ConstructorEntry;

template <class State, class... A, FixedString... Params>
struct ConstructorEntry<State, State(A...), Params...> {
  static_assert(sizeof...(A) == sizeof...(Params), "one name per parameter");
  static constexpr FunctionDescription description{PythonName<State>::name.text, "__new__",
                                                   detail::parameter_names<Params...>};

  static PyObject* call(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return fault_trap([&]() -> PyObject* {
      PyObject* slots[sizeof...(Params) + 1] = {};
      bind_arguments<sizeof...(Params)>(description, TupleArguments{args, kwargs}, slots);
      constexpr auto sequence = std::make_index_sequence<sizeof...(Params)>();
      auto converted = detail::convert_all<std::tuple<A...>>(slots, description.parameters.data(), sequence);
      return std::apply([type](auto&... a) { return create_instance(type, State(a.get()...)); }, converted);
    });
  }
};

// The class as the module registers it: name, signature, constructor, method tables.
template <class State, class Signature, FixedString... Params, class... Rows>
constexpr ClassDefinition define_class(MethodTable<Rows...>) {
  return ClassDefinition {
    PythonName<State>::name.text, detail::signature_text<PythonName<State>::name, "", Params...>.data(),
        &ConstructorEntry<State, Signature, Params...>::call, &destroy_instance<State>,
        MethodTable<Rows...>::fast,
#if BRAMBLELOFT_BEFORE_3_10
        MethodTable<Rows...>::tuple,
#endif
        Instance<State>::basic_size(),
  };
}

}  // namespace brambleloft
