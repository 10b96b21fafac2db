"""train's string arguments also accept wrapped pointers made by another
module of the binding runtime: a character pointer ("_p_char", copied up to
its first NUL) or a string ("std::string *", copied whole), given directly,
through a "this" attribute, or along a chain of wrapped pointers. The peer
module of tests/peer_module makes them."""

import sys

import pytest

from train_call import TrainCall, assert_refused

MESSAGE = "in method 'train', argument 10 of type 'std::string'"


@pytest.fixture(scope="module")
def peer(peer_module_path):
    sys.path.insert(0, str(peer_module_path))
    try:
        import _quorvel_peer
    finally:
        sys.path.remove(str(peer_module_path))
    return _quorvel_peer


class Proxy:
    """An object that leads to a wrapped pointer through its "this"."""

    def __init__(self, this):
        self.this = this


def results_with_cooling(value):
    return TrainCall.changed(radius_cooling=value).results()


@pytest.fixture(scope="module")
def linear():
    return results_with_cooling("linear")


@pytest.fixture(scope="module")
def exponential():
    result = results_with_cooling("exponential")
    assert result != results_with_cooling("linear")
    return result


# (how to make the argument from the peer module, the cooling it selects)
ACCEPTED = {
    "char pointer": (lambda p: p.wrap_chars(b"linear"), "linear"),
    "char pointer up to its NUL": (
        lambda p: p.wrap_chars(b"linear\0tail"), "linear"),
    "string": (lambda p: p.wrap_string("linear"), "linear"),
    "string with NUL kept": (
        lambda p: p.wrap_string("linear\0"), "exponential"),
    "string of other text": (
        lambda p: p.wrap_string("exponential"), "exponential"),
    "through this": (lambda p: Proxy(p.wrap_chars(b"linear")), "linear"),
    "through this twice": (
        lambda p: Proxy(Proxy(p.wrap_string("linear"))), "linear"),
    "along a chain": (
        lambda p: p.chain(p.wrap_int(), p.wrap_chars(b"linear")), "linear"),
    "along a chain through this": (
        lambda p: Proxy(p.chain(p.wrap_int(), p.wrap_string("linear"))),
        "linear"),
}  # fmt: skip


@pytest.mark.parametrize("make, cooling", ACCEPTED.values(),
                         ids=ACCEPTED.keys())
def test_string_from_wrapped_pointer(peer, linear, exponential, make,
                                     cooling):
    expected = {"linear": linear, "exponential": exponential}[cooling]
    assert results_with_cooling(make(peer)) == expected


class SelfProxy:
    @property
    def this(self):
        return self


REFUSED = {
    "null char pointer": lambda p: p.wrap_chars(None),
    "pointer of another type": lambda p: p.wrap_int(),
    "proxy of another type": lambda p: Proxy(p.wrap_int()),
    "proxy of a plain object": lambda p: Proxy(object()),
    "proxy of None": lambda p: Proxy(None),
    "proxy leading to itself": lambda p: SelfProxy(),
}


@pytest.mark.parametrize("make", REFUSED.values(), ids=REFUSED.keys())
def test_string_from_wrapped_pointer_refused(peer, make):
    call = TrainCall.changed(radius_cooling=make(peer))
    assert_refused(call, TypeError, MESSAGE)


def test_string_type_registered_after_first_use_is_found(
        run_python, peer_module_path):  # fmt: skip
    # A failed look-up of "std::string *" is not remembered: a module that
    # registers the type later is still seen.
    completed = run_python("""
import _quorvel_wrap
from train_call import TrainCall
try:
    TrainCall.changed(radius_cooling=b"linear").run()
except TypeError:
    pass
import _quorvel_peer
wrapped = TrainCall.changed(radius_cooling=_quorvel_peer.wrap_string("linear"))
plain = TrainCall.changed(radius_cooling="linear")
print(wrapped.results() == plain.results())
""", peer_module_path)
    assert completed.stdout.split() == ["True"]
