"""How the waiting calls of one object learn that the queue may have
changed, with no thread and no lock: a change feed on the event loop.

The feed counts changes ("marks"). A waiting call takes the mark before it
tries to lease and sleeps only while the count has not moved past it, so a
change that arrives while it tries (or before it sleeps) is never slept
through. The source of changes (the directory's watch, or the server's
notifications) is read by the loop itself, in one callback per object,
however many calls wait.

A change wakes one sleeper, not all of them: the woken call tries to
lease and, if it leased something, hands the wake-up on to the next
sleeper, since more may be ready; if it found nothing, the others have
nothing to find either. So a thousand idle consumers do not all try for one
message, and a burst of messages still reaches as many consumers as it
holds, one after the other. A woken call that leaves without trying
(cancelled, or failed) hands the wake-up on too.
"""

from __future__ import annotations

import asyncio


class ChangeFeed:
    def __init__(self) -> None:
        self._marks = 0
        # In the order they went to sleep; a dict, so that one that leaves
        # (timed out, cancelled) is removed at once wherever it is.
        self._sleepers: dict[asyncio.Future[bool], None] = {}

    def mark(self) -> int:
        return self._marks

    def changed(self) -> None:
        """The queue may have changed: wakes one sleeper."""
        self._marks += 1
        self.pass_on()

    def pass_on(self) -> None:
        """Wakes the next sleeper, for a call that leased after a wake-up."""
        if self._sleepers:
            sleeper = next(iter(self._sleepers))
            del self._sleepers[sleeper]
            sleeper.set_result(True)

    def wake_all(self) -> None:
        """Everyone looks again: at close, or after the source was lost and
        what it would have told went unheard."""
        self._marks += 1
        sleepers, self._sleepers = self._sleepers, {}
        for sleeper in sleepers:
            sleeper.set_result(True)

    async def wait(self, mark: int, timeout_s: float) -> bool:
        """Sleeps until a change after `mark` wakes this call (True) or
        `timeout_s` has passed (False)."""
        if self._marks != mark:
            return True
        loop = asyncio.get_running_loop()
        sleeper: asyncio.Future[bool] = loop.create_future()
        self._sleepers[sleeper] = None
        timer = loop.call_later(timeout_s, self._expire, sleeper)
        try:
            return await sleeper
        except BaseException:
            # Woken, but cancelled before it could try: the next one tries.
            if sleeper.done() and not sleeper.cancelled() and sleeper.result():
                self.pass_on()
            raise
        finally:
            timer.cancel()
            self._sleepers.pop(sleeper, None)

    def _expire(self, sleeper: asyncio.Future[bool]) -> None:
        if self._sleepers.pop(sleeper, 0) is None:
            sleeper.set_result(False)
