# FileNode: a plain dataclass record whose pickles match a pure-Python dataclass byte for byte.
import copy
import dataclasses
import io
import pickle
import pickletools
from pathlib import PurePosixPath

import pytest

from mavelin.core.models import FileNode
from oracles import REFERENCE_MODELS_SOURCE, pickle_samples, sample_fingerprint
from support import TESTS_DIR, run_python

FP_ATTR = "_FileNode__hash_fingerprint"


# --- dataclass behaviour ----------------------------------------------------------------------------

def test_is_a_dataclass_with_two_fields_and_no_hash():
    assert dataclasses.is_dataclass(FileNode)
    assert [f.name for f in dataclasses.fields(FileNode)] == ["id", "file_path"]
    assert FileNode.__module__ == "mavelin.core.models" and FileNode.__qualname__ == "FileNode"
    assert FileNode.__mro__ == (FileNode, object)
    assert FileNode.__hash__ is None
    assert FileNode.__match_args__ == ("id", "file_path")
    with pytest.raises(TypeError):
        hash(FileNode(1, "a"))
    with pytest.raises(TypeError):
        {FileNode(1, "a")}


def test_constructor_takes_id_and_path_positionally_or_by_name_and_stores_them_unchanged():
    path = PurePosixPath("x/y")
    node = FileNode(file_path=path, id=7)
    assert node.id == 7 and node.file_path is path
    odd = object()
    assert FileNode(odd, 3.5).id is odd
    assert list(vars(FileNode(1, "a"))) == ["id", "file_path"]
    for bad in [(), (1,), (1, "a", "extra")]:
        with pytest.raises(TypeError):
            FileNode(*bad)
    with pytest.raises(TypeError):
        FileNode(1, "a", fingerprint=[])


@pytest.mark.parametrize("left, right, equal", [
    ((1, "a"), (1, "a"), True),
    ((1, "a"), (2, "a"), False),
    ((1, "a"), (1, "b"), False),
    ((2**70, "ü\udcff"), (2**70, "ü\udcff"), True),
])
def test_equality_compares_id_and_path_only(left, right, equal):
    a, b = FileNode(*left), FileNode(*right)
    a.set_fingerprint(sample_fingerprint(1))
    b.set_fingerprint(sample_fingerprint(2))
    assert (a == b) is equal and (a != b) is (not equal)


def test_not_equal_to_other_types_and_not_ordered():
    node = FileNode(1, "a")
    assert node != (1, "a") and node != [1, "a"] and node != {"id": 1, "file_path": "a"}
    assert node.__eq__((1, "a")) is NotImplemented
    with pytest.raises(TypeError):
        node < FileNode(2, "a")


@pytest.mark.parametrize("node_id, path", [
    (7, "a/b.txt"), (0, ""), (2**64, "q'uote\"s"), (12, "bad\udcffname\n"),
    (3, PurePosixPath("p/q")),
])
def test_text_form_and_representation(node_id, path):
    node = FileNode(node_id, path)
    node.set_fingerprint(sample_fingerprint(0))
    assert str(node) == f"File {node_id}"
    assert repr(node) == f"FileNode(id={node_id!r}, file_path={path!r})"


def test_recursive_representation_is_guarded():
    node = FileNode(1, "a")
    node.file_path = node
    assert repr(node) == "FileNode(id=1, file_path=...)"


def test_dataclass_helpers_work():
    node = FileNode(4, "d/e")
    node.set_fingerprint(sample_fingerprint(4))
    assert dataclasses.asdict(node) == {"id": 4, "file_path": "d/e"}
    assert dataclasses.astuple(node) == (4, "d/e")
    other = dataclasses.replace(node, id=5)
    assert type(other) is FileNode and other.id == 5 and list(vars(other)) == ["id", "file_path"]
    clone = copy.deepcopy(node)
    assert clone == node and clone.get_fingerprint() == node.get_fingerprint()
    assert clone.get_fingerprint() is not node.get_fingerprint()


# --- fingerprint attribute ---------------------------------------------------------------------------

def test_new_record_has_no_fingerprint():
    node = FileNode(1, "a")
    with pytest.raises(AttributeError, match=FP_ATTR):
        node.get_fingerprint()
    assert not hasattr(node, FP_ATTR)


def test_set_fingerprint_stores_the_object_itself_under_the_private_name():
    node = FileNode(1, "a")
    first, second = sample_fingerprint(1), sample_fingerprint(2)
    assert node.set_fingerprint(first) is None
    assert node.get_fingerprint() is first
    assert list(vars(node)) == ["id", "file_path", FP_ATTR]
    assert node.set_fingerprint(second) is None
    assert node.get_fingerprint() is second and getattr(node, FP_ATTR) is second
    assert list(vars(node)) == ["id", "file_path", FP_ATTR]
    first.append(["changed"])  # no copy was kept
    assert node.get_fingerprint() is second
    # The attribute set from outside is what get_fingerprint returns.
    setattr(node, FP_ATTR, "external")
    assert node.get_fingerprint() == "external"


# --- pickling --------------------------------------------------------------------------------------

def _dis(data):
    out = io.StringIO()
    pickletools.dis(data, out) if len(data) < 4000 else out.write(f"{len(data)} bytes")
    return out.getvalue()


def _reference_pickles():
    """Protocol 4 pickles of the samples built from the plain dataclass in a fresh interpreter."""
    r = run_python(f"""
import pickle, sys, types
sys.path.insert(0, {TESTS_DIR!r})
for name in ("mavelin", "mavelin.core", "mavelin.core.models"):
    sys.modules[name] = types.ModuleType(name)
models = sys.modules["mavelin.core.models"]
exec(compile({REFERENCE_MODELS_SOURCE!r}, "models.py", "exec"), models.__dict__)
import oracles
sys.stdout.buffer.write(pickle.dumps([pickle.dumps(s, 4) for s in oracles.pickle_samples(models.FileNode)]))
""", warnings_as_errors=False)
    assert r.returncode == 0, r.stderr
    return pickle.loads(r.stdout_bytes)


@pytest.fixture(scope="module")
def reference_pickles():
    return _reference_pickles()


def test_pickles_equal_those_of_a_plain_dataclass(reference_pickles):
    ours = [pickle.dumps(s, 4) for s in pickle_samples(FileNode)]
    assert len(ours) == len(reference_pickles)
    for i, (mine, theirs) in enumerate(zip(ours, reference_pickles)):
        assert mine == theirs, f"sample {i}:\nours:\n{_dis(mine)}\nreference:\n{_dis(theirs)}"


def test_default_protocol_pickle_equals_protocol_4():
    node = FileNode(1, "a")
    node.set_fingerprint(sample_fingerprint(1))
    assert pickle.DEFAULT_PROTOCOL == 4 and pickle.dumps(node) == pickle.dumps(node, 4)


def test_pickle_refers_to_the_class_by_module_and_name_with_the_state_dict():
    node = FileNode(3, "p")
    node.set_fingerprint([["x"]])
    ops = [(op.name, arg) for op, arg, _ in pickletools.genops(pickle.dumps(node, 4))]
    names = [name for name, _ in ops]
    assert ("SHORT_BINUNICODE", "mavelin.core.models") in ops and ("SHORT_BINUNICODE", "FileNode") in ops
    assert names.index("STACK_GLOBAL") < names.index("EMPTY_TUPLE") < names.index("NEWOBJ") < names.index("BUILD")
    state_keys = [arg for name, arg in ops if name == "SHORT_BINUNICODE"][2:]
    assert state_keys[0] == "id" and "file_path" in state_keys and FP_ATTR in state_keys


def test_round_trip_in_this_process_keeps_class_state_and_order():
    for sample in pickle_samples(FileNode):
        back = pickle.loads(pickle.dumps(sample, 4))
        assert back == sample
    node = FileNode(2**40, "é/\udcff")
    node.set_fingerprint(sample_fingerprint(3))
    back = pickle.loads(pickle.dumps(node, 4))
    assert type(back) is FileNode
    assert list(vars(back)) == ["id", "file_path", FP_ATTR]
    assert back.get_fingerprint() == node.get_fingerprint()


def test_a_fresh_interpreter_loads_the_pickles():
    nodes = {"node_id_1": FileNode(1, "a/b"), "node_id_2": FileNode(2**33, "ü\udcff")}
    nodes["node_id_2"].set_fingerprint(sample_fingerprint(2))
    r = run_python("""
import pickle, sys
table = pickle.loads(sys.stdin.buffer.read())
from mavelin.core.models import FileNode
out = []
for key, node in table.items():
    assert type(node) is FileNode
    out.append((key, node.id, node.file_path, list(vars(node)),
                getattr(node, "_FileNode__hash_fingerprint", None)))
print(ascii(out))
""", stdin_data=pickle.dumps(nodes, 4))
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == ascii([
        ("node_id_1", 1, "a/b", ["id", "file_path"], None),
        ("node_id_2", 2**33, "ü\udcff", ["id", "file_path", FP_ATTR], sample_fingerprint(2)),
    ]) + "\n"
