"""The binding runtime's type registry that _quorvel_wrap creates or joins:
a capsule in the module "swig_runtime_data4" pointing to a circular list of
module records, read here in the published layout. Another module of the
runtime (tests/peer_module), imported before or after ours, must end up on
the same list and share the "_p_char" type entry. Each case runs in a fresh
interpreter, since import order is the point."""

import json

WALK = """
import json, sys
import registry_records
{imports}
print(json.dumps(registry_records.walk()))
"""


def walk_after(run_python, imports, *path):
    completed = run_python(WALK.format(imports=imports), *path)
    return json.loads(completed.stdout)


def our_record(records):
    # The peer registers three types, this module one.
    [record] = [record for record in records if record["size"] == 1]
    return record


def test_registry_of_module_alone(run_python):
    [record] = walk_after(run_python, "import _quorvel_wrap")
    assert record["next"] == record["address"]
    assert record["size"] == 1
    assert record["types_closed"]
    assert record["clientdata"] is None
    [entry] = record["types"]
    assert entry == {
        "address": entry["address"],
        "name": "_p_char",
        "str": "char *",
        "dynamic_cast": None,
        "clientdata": None,
        "owndata": 0,
        # The type lists itself as convertible into itself, as a plain
        # equivalence without converter.
        "casts": [{"type": entry["address"], "type_name": "_p_char",
                   "converter": None}],
    }  # fmt: skip
    assert record["initial"] == [entry]
    assert record["first_cast_type"] == [entry["address"]]


def test_registry_joined_by_later_module(run_python, peer_module_path):
    records = walk_after(run_python, """
import _quorvel_wrap
capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
import _quorvel_peer
assert sys.modules["swig_runtime_data4"].type_pointer_capsule is capsule
""", peer_module_path)
    ours, peer = records
    assert ours["size"] == 1  # still the head
    assert peer["size"] == 3
    assert ours["next"] == peer["address"] and peer["next"] == ours["address"]
    # The peer took over our entry for "_p_char" instead of its own.
    assert [t["name"] for t in peer["types"]] == [
        "_p_char", "_p_int", "_p_std__string"]
    assert peer["types"][0]["address"] == ours["types"][0]["address"]
    assert len(ours["types"][0]["casts"]) == 1


def test_registry_joined_when_created_by_earlier_module(run_python,
                                                        peer_module_path):
    records = walk_after(run_python, """
import _quorvel_peer
capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
import _quorvel_wrap
assert sys.modules["swig_runtime_data4"].type_pointer_capsule is capsule
""", peer_module_path)
    peer, ours = records  # the peer is the head, ours right after it
    assert peer["size"] == 3 and ours is our_record(records)
    assert peer["next"] == ours["address"] and ours["next"] == peer["address"]
    # Ours uses the peer's "_p_char" entry, whose casts it leaves alone; its
    # own initial entry stays unused.
    shared = peer["types"][0]
    assert ours["types"][0]["address"] == shared["address"]
    assert ours["initial"][0]["address"] != shared["address"]
    assert ours["initial"][0]["name"] == "_p_char"
    assert [cast["type"] for cast in shared["casts"]] == [shared["address"]]
    assert ours["types_closed"]


def test_registry_keeps_record_once_after_failed_import(run_python):
    # A failed NumPy import leaves the registry in place; importing again
    # runs the initialisation again and finds the record already listed.
    [record] = walk_after(run_python, """
import numpy_api_fakes as fakes
fakes.install()
try:
    import _quorvel_wrap
except ImportError:
    pass
capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
del sys.modules["numpy.core.multiarray"]
import _quorvel_wrap
assert sys.modules["swig_runtime_data4"].type_pointer_capsule is capsule
""")
    assert record["next"] == record["address"]
    assert [cast["type_name"] for cast in record["types"][0]["casts"]] == [
        "_p_char"]
