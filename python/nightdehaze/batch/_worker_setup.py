"""Set-up of the batch's own local worker processes.

Ctrl-C on a terminal reaches every process of the foreground group. The
local workers ignore it: the batch command alone decides how to stop (cancel
what is queued, then close the workers), so a worker never dies halfway
through a picture because of the key press.
"""

import signal
import threading

from distributed.diagnostics.plugin import WorkerPlugin


class IgnoreInterrupts(WorkerPlugin):
    """Makes each worker process (restarted ones too) ignore SIGINT."""

    name = "nightdehaze-ignore-interrupts"

    def setup(self, worker) -> None:
        # Dispositions can only be changed from the main thread, where a
        # worker process runs its event loop.
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)
