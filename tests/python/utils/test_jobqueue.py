# The README's way of starting cluster workers as Slurm batch jobs, built as far as the job script
# (no job is submitted): one single-threaded worker per job with the processors its hashing needs.
import ast
import os
import re
import signal

import pytest

# Importing dask_jobqueue makes SIGINT exit with status 0: the other tests' Ctrl-C needs it back.
sigint = signal.getsignal(signal.SIGINT)
try:
    dask_jobqueue = pytest.importorskip("dask_jobqueue", reason="dask-jobqueue is not installed")
finally:
    signal.signal(signal.SIGINT, sigint)

from support import TESTS_DIR  # noqa: E402

README = os.path.join(TESTS_DIR, os.pardir, os.pardir, "README.md")


def readme_slurm_arguments():
    """The keyword arguments of the README's SLURMCluster(...) call."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    for block in re.findall(r"```python\n(.*?)```", text, re.S):
        for node in ast.walk(ast.parse(block)):
            if isinstance(node, ast.Call) and getattr(node.func, "id", None) == "SLURMCluster":
                return {k.arg: ast.literal_eval(k.value) for k in node.keywords}
    pytest.fail("the README has no SLURMCluster(...) example")


def test_the_readme_slurm_cluster_books_one_single_threaded_worker_per_job():
    kwargs = readme_slurm_arguments()
    # Listening on the loopback interface only; no dashboard.
    options = {"host": "127.0.0.1", "dashboard_address": None}
    with dask_jobqueue.SLURMCluster(**kwargs, scheduler_options=options) as cluster:
        script = cluster.job_script()
        address = cluster.scheduler_address
    assert f"#SBATCH --cpus-per-task={kwargs.get('job_cpu')}\n" in script
    assert f"#SBATCH -t {kwargs.get('walltime')}\n" in script
    worker = [line for line in script.splitlines() if "distributed.cli.dask_worker" in line]
    assert len(worker) == 1, script
    assert f"dask_worker {address} " in worker[0]
    assert " --nthreads 1 " in worker[0] + " "
    assert "--nworkers" not in worker[0] or " --nworkers 1 " in worker[0] + " "
