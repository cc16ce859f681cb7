"""read_sheets on a `distributed` cluster of two worker processes started
here, on the loopback interface alone (one cluster for the module, as one
takes seconds to start): the frame against the workbooks read one by one,
a worker killed midway, and a damaged workbook among the others."""
import os
import shutil
import signal
import zipfile

import pytest

from folders import concatenated, write_books

pytestmark = pytest.mark.needs("dask", "distributed", "pandas", "pyarrow")

# generous: the machine is shared, and a worker restarts after a kill
TIMEOUT = 300


@pytest.fixture(scope="module")
def client():
    import dask
    from distributed import Client, LocalCluster

    with dask.config.set({"distributed.comm.timeouts.connect": "120s"}), \
         LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=50) as cluster, \
         Client(cluster, timeout=TIMEOUT) as client:
        yield client


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    return write_books(tmp_path_factory.mktemp("books"), 50)


def read(paths):
    import vellum.dask
    return vellum.dask.read_sheets(paths, "Data")


def test_cluster_equals_the_concatenation(client, paths):
    import pandas as pd

    df = read(paths)
    got = client.compute(df).result(timeout=TIMEOUT).reset_index(drop=True)
    pd.testing.assert_frame_equal(got, concatenated(paths, "Data"))


def test_a_worker_killed_midway(client, paths):
    import pandas as pd
    from distributed import as_completed

    futures = client.compute(read(paths).to_delayed())
    pids = client.run(os.getpid)
    for done, future in enumerate(as_completed(futures)):
        if done == 4:
            # the worker holding a finished partition: its results are lost
            # with it, and are made again
            (victim, *_), = client.who_has([future]).values()
            os.kill(pids[victim], signal.SIGKILL)
            break
    got = pd.concat(client.gather(futures), ignore_index=True)
    pd.testing.assert_frame_equal(got, concatenated(paths, "Data"))
    client.wait_for_workers(2, timeout=TIMEOUT)
    assert pids[victim] not in client.run(os.getpid).values()


def test_a_damaged_workbook_is_named_on_the_client(client, paths, tmp_path):
    import vellum

    copies = [shutil.copy(p, tmp_path) for p in paths[:10]]
    bad = copies[6]
    with zipfile.ZipFile(paths[6]) as z:
        parts = {name: z.read(name) for name in z.namelist()}
    sheet = "xl/worksheets/sheet1.xml"
    parts[sheet] = parts[sheet][:len(parts[sheet]) // 2]  # cut off mid-row
    with zipfile.ZipFile(bad, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in parts.items():
            z.writestr(name, data)
    with pytest.raises(vellum.WorkbookError) as caught:
        client.compute(read(copies)).result(timeout=TIMEOUT)
    assert str(caught.value).startswith(f"{bad}: part {sheet} is damaged")
