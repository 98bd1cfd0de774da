"""Memory is given back: a model loaded, edited, formatted, pickled and
dropped thousands of times stops growing after warm-up, and documents and
their objects, which point at each other, are reclaimed by the cycle
collector."""

import gc
import os
import pickle
import weakref

from tamrix.idf import IDF

from _data import EXAMPLE_IDD, run_python


class Model(IDF):
    pass

CHURN = """
import gc, os, pickle
from tamrix.idd import IDD
from tamrix.idf import IDF

idd = IDD.from_string(%(idd)r)
TEXT = "Zone,A;\\nZone,B;\\n" + "".join(f"Lights,L{i},{'AB'[i %% 2]};\\n" for i in range(40))

def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

def churn(rounds):
    for i in range(rounds):
        doc = IDF.from_string(idd, TEXT)
        zone, lights = doc.get_object_by_name("Zone", "A"), doc.get_objects("Lights")[3]
        zone["Name"] = f"Z{i}"
        lights.update({"Zone Name": f"Z{i}"})
        lights.get_referenced_object("Zone Name"), zone.get_referencing_objects("Name")
        doc.remove_object(doc.add_object("Lights", [f"N{i}", "B"]))
        doc.remove_object(doc.get_objects("Lights")[0])
        doc.format(), doc.format(compact=True, preserve_order=True), repr(lights)
        assert pickle.loads(pickle.dumps(doc)).format() == doc.format()
        for bad in (lambda: IDF.from_string(idd, TEXT + "Zone,unterminated"), lambda: zone.__setitem__("No such", 1)):
            try:
                bad()
            except (ValueError, KeyError):
                pass

churn(%(warmup)d)
gc.collect()
start = rss_kb()
churn(%(rounds)d)
gc.collect()
end = rss_kb()
print(start, end)
"""


def test_rss_stops_growing_after_warm_up():
    # Under ASan freed memory sits in quarantine, so RSS only says something
    # in a plain build; the churn itself still runs there.
    sanitized = bool(os.environ.get("TAMRIX_SANITIZED"))
    rounds = 1000 if sanitized else 12000
    result = run_python(CHURN % {"idd": EXAMPLE_IDD, "warmup": 500 if sanitized else 4000, "rounds": rounds}, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    start, end = map(int, result.stdout.split())
    print(f"RSS after warm-up {start} KB, after {rounds} more rounds {end} KB")
    # The allocator's heap settles within a few thousand rounds (a model's
    # cycle waits for the collector, so several are alive at once); after
    # that its noise stays under 1 MB however long this runs; one leaked
    # object (a few hundred bytes) per round would add several MB.
    assert sanitized or end - start < 1536, (start, end)


def test_documents_and_objects_are_reclaimed_by_the_cycle_collector():
    from tamrix.idd import IDD

    idd = IDD.from_string(EXAMPLE_IDD)
    gc.collect()
    gc.disable()
    try:
        doc = Model.from_string(idd, "Zone,A;\nLights,L,A;\n")
        doc.me = doc  # a cycle through the instance dict as well
        objs = list(doc.get_objects("Zone")) + list(doc.get_objects("Lights"))
        detached = doc.get_objects("Lights")[0]
        doc.remove_object(detached)
        twin = pickle.loads(pickle.dumps(doc))
        refs = [weakref.ref(x) for x in (doc, twin, *objs, *twin.get_objects("Zone"))]
        del doc, twin, objs, detached
        assert refs[0]() is not None and refs[1]() is not None  # only cycles hold them now
        gc.collect()
        assert [r() for r in refs] == [None] * len(refs)
    finally:
        gc.enable()
