"""State vectors distributed over MPI ranks, on velt_core's kernels.

A DistributedState of n qubits over 2^p ranks keeps 2^(n - p) amplitudes on
each rank.  Gates on local qubits run velt_core's kernels on the slice; a gate
on a rank-selecting qubit first swaps it with a local one through a pairwise
exchange, and a qubit map records the swap.  The gathered state is the same
bit for bit as velt_core's on the full state.  DistributedState(...,
dtype=np.complex64) holds complex64 slices, half the memory, and runs
velt_core.single's kernels and read-outs instead, with the same promise.

Install with the `mpi` extra (mpi4py and an MPI from the package index) and
run under `mpiexec -n N python -m mpi4py script.py`.  Without mpi4py a state
lives on one rank (pass comm=velt_mpi.SelfComm() to stay out of MPI
where mpi4py is installed).

Every method is collective: the ranks agree on its arguments and on the
outcome of each step one rank runs alone, so an error on any rank is raised
on every rank and no rank is left waiting (see _agree).
"""

from ._comm import SelfComm, quiet_barrier
from ._state import CHUNK_SHARE, MIN_CHUNK, DistributedState

__all__ = ["DistributedState", "SelfComm", "quiet_barrier", "CHUNK_SHARE", "MIN_CHUNK"]
