import ast
import importlib
import importlib.metadata
from pathlib import Path

import pytest

import Merivane


def test_version_is_the_one_in_the_project_metadata():
    assert Merivane.__version__ == importlib.metadata.version("Merivane")


def test_the_licence_and_the_catalog_notice_travel_with_the_installed_package():
    distribution = importlib.metadata.distribution("Merivane")
    assert distribution.metadata["License-Expression"] == "MIT"
    # A binary wheel adds the notices of the libraries linked into it.
    shipped = {name.rsplit("/", 1)[-1]: name for name in distribution.metadata.get_all("License-File") or []}
    for own in ("LICENSE", "STRchive-LICENSE"):
        text = distribution.read_text(f"licenses/{shipped[own]}")
        assert text is not None and text.startswith("MIT License"), own


def stub_functions():
    """Every function the type stubs define, with the module object it describes."""
    for stub in sorted(Path(Merivane.__file__).parent.glob("*.pyi")):
        module = importlib.import_module(f"Merivane.{stub.stem}")
        for node in ast.parse(stub.read_text()).body:
            if isinstance(node, ast.FunctionDef):
                yield pytest.param(node, getattr(module, node.name), id=f"{stub.stem}.{node.name}")
            elif isinstance(node, ast.ClassDef):
                for method in node.body:
                    if isinstance(method, ast.FunctionDef) and method.name == "__init__":
                        yield pytest.param(method, getattr(module, node.name).__init__,
                                           id=f"{stub.stem}.{node.name}.__init__")


def parameters(function):
    """Names, kinds and defaults, as source text."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    shape = [(p.arg, "positional", d) for p, d in zip(positional, defaults)]
    shape += [(p.arg, "keyword", d) for p, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return [(name, kind, None if d is None else ast.unparse(d)) for name, kind, d in shape]


@pytest.mark.parametrize("stub, runtime", list(stub_functions()))
def test_the_stubs_give_the_parameters_and_defaults_the_modules_document(stub, runtime):
    # The extension functions carry no introspectable signature; each
    # docstring begins with it instead.
    documented = parameters(ast.parse(f"def {runtime.__doc__.splitlines()[0]}: ...").body[0])
    # A stub's `...` stands for a default it cannot spell (RohFormat.AUTO).
    unspelled = {name for name, _, default in parameters(stub) if default == "..."}
    documented = [(name, kind, "..." if name in unspelled else default) for name, kind, default in documented]
    assert parameters(stub) == documented


def test_every_signature_line_gives_the_compressors_default_level():
    import re

    from Merivane import cli, compression, repeats, unifier

    defaults = {}
    for module in (compression, unifier, repeats, cli):
        for name in dir(module):
            signature = (getattr(getattr(module, name), "__doc__", None) or "").split("\n", 1)[0]
            found = re.findall(r"\bcompresslevel: int = (\w+)", signature)
            if found:
                defaults[f"{module.__name__}.{name}"] = found
    assert {"Merivane.compression.write_bgzf", "Merivane.unifier.run", "Merivane.cli.pacbio_unify"} <= set(defaults)
    assert all(found == [str(compression._DEFAULT_LEVEL)] for found in defaults.values()), defaults
