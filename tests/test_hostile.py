"""Hostile-input sweep: every case of hostile_cases.py in a forked child, so
that a crash, an abort or a hang fails that case alone."""

import multiprocessing
import sys

import hostile_cases
import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="children are forked from a fork server")

GROUP = 64  # cases per child
TIMEOUT = 120  # seconds one case may take


def _context():
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["hostile_cases"])
    return context


def _run_children(function, indices, timeout=TIMEOUT):
    """Runs the cases in one child; returns the verdicts it delivered and how
    the child ended."""
    context = _context()
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=hostile_cases.run_group, args=(send, function, indices))
    child.start()
    send.close()
    verdicts = {}
    try:
        while len(verdicts) < len(indices) and receive.poll(timeout):
            i, verdict = receive.recv()
            verdicts[i] = verdict
    except EOFError:
        pass
    child.join(1 if len(verdicts) < len(indices) else timeout)
    if child.is_alive():
        child.kill()
        child.join()
        return verdicts, "hung"
    return verdicts, f"exit code {child.exitcode}"


def sweep(function, indices, timeout=TIMEOUT):
    """Verdict of every case: None when it behaved, else what went wrong."""
    verdicts = {}
    pending = list(indices)
    while pending:
        group, pending = pending[:GROUP], pending[GROUP:]
        got, ending = _run_children(function, group, timeout)
        verdicts.update(got)
        if len(got) < len(group):
            # The child ran its cases in order: the first without a verdict
            # took it down.  Alone in a fresh child it shows whether it did
            # so by itself; the rest of the group goes on in another child.
            culprit = group[len(got)]
            alone, alone_ending = _run_children(function, [culprit], timeout)
            if alone:
                verdicts[culprit] = f"child ended ({ending}) after the cases before it; alone: {alone[culprit]}"
            else:
                verdicts[culprit] = f"child ended: {alone_ending}"
            pending = group[len(got) + 1 :] + pending
    return verdicts


@pytest.mark.parametrize("function", hostile_cases.FUNCTIONS)
def test_hostile_inputs(function, hostile_tally):
    cases = hostile_cases.CASES[function]
    verdicts = sweep(function, range(len(cases)))
    hostile_tally[function] = len(verdicts)
    assert len(verdicts) == len(cases)
    failures = [f"{cases[i].name}: {verdict}" for i, verdict in sorted(verdicts.items()) if verdict]
    assert not failures, f"{len(failures)} of {len(cases)} cases failed:\n" + "\n".join(failures)


def test_a_dying_case_fails_alone():
    names = list(hostile_cases.probe_cases())
    order = ["passes", "dies", "passes", "fails", "hangs", "passes"]
    verdicts = sweep("probe", [names.index(name) for name in order], timeout=1)
    assert verdicts[names.index("passes")] is None
    assert verdicts[names.index("fails")] == "a wrong result"
    assert verdicts[names.index("dies")] == "child ended: exit code -6"  # SIGABRT
    assert verdicts[names.index("hangs")] == "child ended: hung"
