"""Compares the installed stubs with the installed module, under the interpreter that runs it.

Run inside an environment where the wheel is installed. Prints one line per disagreement
and exits 1, or prints a summary and exits 0. Written for every interpreter from 3.8 on.
"""

import ast
import inspect
import sys
from pathlib import Path

import brambleloft

P = inspect.Parameter
# `from` is a keyword: inspect rejects the text signature "($self, from, to)" with
# ValueError on every interpreter, and a stub cannot spell the name. The stub declares
# it positional-only under the name `from_`; this method is checked by hand below.
KEYWORD_NAMED = {("DAG", "would_create_cycle"): "($self, from, to)"}
# Argument values by annotation, chosen so that every method succeeds when called in the
# stub's order on one new instance (a size of 0 would make every CuckooHash call fail).
SAMPLES = {"str": "a", "int": 1}

problems = []


def expect(condition, message):
    if not condition:
        problems.append(message)


def annotation_name(node):
    return node.id if isinstance(node, ast.Name) else None


def result_types(node):
    """Python types a value of the annotation may have: bool, int, str, None, Optional[X]."""
    if isinstance(node, ast.Constant) and node.value is None:
        return (type(None),)
    if isinstance(node, ast.Subscript) and annotation_name(node.value) == "Optional":
        inner = node.slice
        if isinstance(inner, getattr(ast, "Index", ())):  # 3.8 wraps subscripts
            inner = inner.value
        return result_types(inner) + (type(None),)
    return {"bool": (bool,), "int": (int,), "str": (str,)}[annotation_name(node)]


def stub_parameters(function):
    """(name, kind, annotation) of every parameter of a stub function, in order."""
    a = function.args
    expect(not (a.vararg or a.kwarg or a.kwonlyargs or a.defaults),
           f"stub {function.name} has parameters the runtime cannot have")
    return ([(p.arg, P.POSITIONAL_ONLY, p.annotation) for p in a.posonlyargs]
            + [(p.arg, P.POSITIONAL_OR_KEYWORD, p.annotation) for p in a.args])


def call_as_stub_says(owner, label, function, params):
    """Calls with sample arguments, by keyword wherever the stub allows it, and checks the
    result against the stub's return annotation."""
    args = [SAMPLES[annotation_name(a)] for _, kind, a in params[1:] if kind == P.POSITIONAL_ONLY]
    kwargs = {n: SAMPLES[annotation_name(a)] for n, kind, a in params[1:] if kind != P.POSITIONAL_ONLY}
    try:
        result = getattr(owner, function.name)(*args, **kwargs)
    except BaseException as error:  # the internal-fault exception derives from BaseException
        problems.append(f"{label}(*{args}, **{kwargs}) raised {error!r}")
        return
    allowed = result_types(function.returns)
    expect(type(result) in allowed, f"{label} returned {result!r}, stub says {[t.__name__ for t in allowed]}")


def check_class(cls, stub):
    name = cls.__name__
    expect(any(annotation_name(d) == "final" for d in stub.decorator_list), f"stub {name} is not @final")
    try:
        type("Sub", (cls,), {})
        problems.append(f"{name} can be subclassed at runtime but the stub marks it final")
    except TypeError:
        pass

    functions = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)}
    runtime = {n for n, v in vars(cls).items() if not n.startswith("_") and callable(v)}
    public = {n for n in functions if not n.startswith("_")}
    expect(public == runtime, f"{name}: stub methods {sorted(public)} but runtime {sorted(runtime)}")

    # The constructor is __new__ at runtime (the class has no __init__ of its own), and so in the stub.
    expect("__init__" not in functions, f"stub {name} declares __init__; the runtime constructor is __new__")
    init = stub_parameters(functions["__new__"])[1:]
    if sys.version_info >= (3, 10):
        # 3.8 and 3.9 drop a heap type's text signature; the keyword call below still
        # checks the constructor's parameter names there.
        expect(list(inspect.signature(cls).parameters) == [n for n, _, _ in init],
               f"{name}(): runtime {inspect.signature(cls)}, stub {[n for n, _, _ in init]}")
    instance = cls(**{n: SAMPLES[annotation_name(a)] for n, _, a in init})

    for method in [n for n in functions if n in runtime]:
        label = f"{name}.{method}"
        params = stub_parameters(functions[method])
        expect(params[0][0] == "self", f"stub {label} does not start with self")
        if (name, method) in KEYWORD_NAMED:
            check_keyword_named(instance, label, getattr(cls, method), params, KEYWORD_NAMED[(name, method)])
        else:
            signature = inspect.signature(getattr(cls, method))
            actual = [(p.name, p.kind) for p in list(signature.parameters.values())[1:]]
            expect(actual == [(n, kind) for n, kind, _ in params[1:]],
                   f"{label}: runtime {signature}, stub {[n for n, _, _ in params]}")
        call_as_stub_says(instance, label, functions[method], params)


def check_keyword_named(instance, label, method, params, text_signature):
    try:
        inspect.signature(method)
        problems.append(f"{label} now has a signature inspect accepts; give the stub its real names")
    except ValueError:
        pass
    expect(method.__text_signature__ == text_signature,
           f"{label}: text signature {method.__text_signature__!r}, expected {text_signature!r}")
    expect([(n, k) for n, k, _ in params] == [("self", P.POSITIONAL_ONLY), ("from_", P.POSITIONAL_ONLY),
                                                ("to", P.POSITIONAL_OR_KEYWORD)],
           f"stub {label} should read (self, from_, /, to)")
    # The runtime names really are `from` and `to`; `to` may be passed by keyword as the stub says.
    for args, kwargs in [((), {"from": 1, "to": 1}), ((1,), {"to": 1})]:
        try:
            getattr(instance, method.__name__)(*args, **kwargs)
        except BaseException as error:
            problems.append(f"{label}(*{args}, **{kwargs}) raised {error!r}")


def main():
    stub_file = Path(brambleloft.__file__).with_name("brambleloft-stubs") / "__init__.pyi"
    tree = ast.parse(stub_file.read_text(encoding="utf-8"), filename=str(stub_file))
    stub_all = None
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and [annotation_name(t) for t in node.targets] == ["__all__"]:
            stub_all = ast.literal_eval(node.value)
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = node
    expect(stub_all == brambleloft.__all__, f"stub __all__ {stub_all}, runtime {brambleloft.__all__}")
    runtime = {n for n, v in vars(brambleloft).items() if isinstance(v, type)}
    expect(set(classes) == runtime, f"stub classes {sorted(classes)}, runtime {sorted(runtime)}")
    for name in sorted(set(classes) & runtime):
        check_class(getattr(brambleloft, name), classes[name])

    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{stub_file} agrees with {brambleloft.__file__} on Python {sys.version.split()[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
