"""The communicator: MPI's world by default, or a one-rank stand-in.

Without mpi4py a DistributedState still works on a single rank, which keeps
the module usable (and its checks testable) on machines without MPI.
"""

import time


def mpi():
    """mpi4py's MPI module, or None where the `mpi` extra is not installed.
    Imported on first use: importing mpi4py initialises MPI, which a one-rank
    state on a SelfComm never needs."""
    try:
        from mpi4py import MPI
    except ImportError:
        return None
    return MPI


class SelfComm:
    """The few collective operations the state uses, for one rank alone."""

    def Get_rank(self):
        return 0

    def Get_size(self):
        return 1

    def allreduce(self, value, op=None):
        return value

    def allgather(self, value):
        return [value]

    def bcast(self, value, root=0):
        return value

    def Barrier(self):
        pass


def world():
    MPI = mpi()
    return SelfComm() if MPI is None else MPI.COMM_WORLD


def count_failures(comm, failed):
    """How many ranks report a failure; every rank learns the same count."""
    if comm.Get_size() == 1:
        return int(failed)
    return comm.allreduce(int(bool(failed)), op=mpi().SUM)


def quiet_barrier(comm, poll=0.005):
    """A barrier that sleeps while it waits.

    MPI implementations spin in blocking calls; on a machine with more ranks
    than cores a spinning rank takes the core from the one doing the work
    (a root computing a reference, for instance)."""
    if comm.Get_size() == 1:
        return
    request = comm.Ibarrier()
    while not request.Test():
        time.sleep(poll)
