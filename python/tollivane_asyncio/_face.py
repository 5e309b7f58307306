"""What both asyncio queues share: the worker thread their calls run on,
the forwarding of every method of the queue (see _methods.py), cancellation,
the waiting calls and closing. A backend says how its queue is opened,
whether its calls may run on the loop thread, and where its changes come
from (_directory.py, _postgres.py).

Calls of one object run one at a time on one worker thread, in the order
they were made: the queue serialises them anyway, and a call that waits
for the disk or for another process's lock then holds up that thread, not
the loop. A call the table marks quick is first made on the loop thread
as a call that may not wait, where the backend allows it (a queue
directory: `TollivaneCore._nowait`); it goes to the worker only if it
would have waited, having done nothing. Handing a call to a thread and
back costs tens of microseconds, a relaxed enqueue a few. Waiting calls hold no thread while they sleep: they sleep on the
loop, in the object's change feed (_feed.py), and each attempt to lease is
an ordinary call.

A cancelled call either did nothing (it had not started on the worker) or
ran to its end before the cancellation goes on; what such a call leased is
handed back with a requeuing nack first, so that a cancelled consumer never
sits on a message until its lease runs out.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import operator
from collections.abc import Callable
from types import TracebackType
from typing import Any, TypeVar

from tollivane_asyncio._feed import ChangeFeed
from tollivane_asyncio._methods import METHODS, Forwarding, Leased, Waits

Result = TypeVar("Result")
Face = TypeVar("Face", bound="AsyncFace")

U64_MAX = 2**64 - 1
# A lease that ran out but could not be taken over yet (another session
# holds its row, or the clocks differ a little) is looked at again this
# soon, not in a spin.
SHORTEST_SLEEP_S = 0.005


def _nothing_leased(_: object) -> list[int]:
    return []


def _timeout_ms(value: object) -> int:
    """`timeout_ms` converted as both backends convert it, with their errors."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError as error:
        raise TypeError(f"argument 'timeout_ms': {error}") from None
    if number < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if number > U64_MAX:
        raise OverflowError("int too big to convert")
    return number


class AsyncFace:
    """The awaitable face of one queue object. Use it from one event loop."""

    def __init__(self, open_queue: Callable[[], Any], inline: bool) -> None:
        # Calls run on the loop thread only where they can never wait for the
        # disk or for a lock another process holds.
        self._inline = inline
        self._executor: concurrent.futures.ThreadPoolExecutor | None = None
        self._opening: concurrent.futures.Future[Any] | None = None
        self._queue: Any = None
        self._closed = False
        self._feed = ChangeFeed()
        self._waiters = 0
        self._source: asyncio.Task[None] | None = None
        self._recheck_s: float | None = None
        # Makes a call of the open queue that may not wait, where the backend
        # has such calls: `nowait(method, *args, **kwargs)`.
        self._nowait: Callable[..., Any] | None = None
        if inline:
            self._queue = open_queue()
            self._now_open(self._queue)
        else:
            # Opening takes the directory's lock and reads its log, or
            # connects: it starts at once, off the loop, and the first call
            # (or `async with`) waits for it and raises what it raised.
            self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tollivane-asyncio")
            self._opening = self._executor.submit(open_queue)

    # -- running calls -----------------------------------------------------

    async def _opened(self) -> Any:
        if self._queue is None:
            assert self._opening is not None
            # Shielded: a caller that gives up does not stop the opening,
            # which other callers wait for too.
            queue = await asyncio.shield(asyncio.wrap_future(self._opening))
            if self._queue is None:
                self._queue = queue
                self._now_open(queue)
        return self._queue

    def _now_open(self, queue: Any) -> None:
        """Called once, when the queue has been opened."""

    async def _run(self, function: Callable[..., Result], *args: Any, leased: Leased = _nothing_leased,
                   quick: bool = False, **kwargs: Any) -> Result:
        if self._executor is None:
            return function(*args, **kwargs)
        if quick and self._nowait is not None and not self._closed:
            try:
                return self._nowait(function, *args, **kwargs)  # type: ignore[no-any-return]
            except BlockingIOError:
                pass  # it would have waited, and did nothing: the worker makes it
        job = self._executor.submit(function, *args, **kwargs)
        try:
            return await asyncio.wrap_future(job)
        except asyncio.CancelledError:
            if not job.cancel():  # it had started: it runs to its end
                await self._settle_cancelled(job, leased)
            raise

    async def _settle_cancelled(self, job: concurrent.futures.Future[Any], leased: Leased) -> None:
        """Waits for a call whose caller was cancelled while it ran, and hands
        back what it leased. Further cancellations wait for it too."""
        outcome = await _outlast_cancellation(job)
        seqs = leased(outcome) if outcome is not None else []
        if seqs:
            assert self._executor is not None
            await _outlast_cancellation(self._executor.submit(_hand_back, self._queue, seqs))

    async def _forward(self, name: str, forwarding: Forwarding, args: tuple[Any, ...],
                       kwargs: dict[str, Any]) -> Any:
        queue = await self._opened()
        if isinstance(forwarding, Waits):
            return await self._wait(queue, forwarding, args, kwargs)
        return await self._run(getattr(queue, name), *args, leased=forwarding.leased, quick=forwarding.quick,
                               **kwargs)

    # -- waiting calls -----------------------------------------------------

    async def _wait(self, queue: Any, waits: Waits, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        arguments = waits.bind(args, kwargs)
        timeout_ms = _timeout_ms(arguments.pop("timeout_ms"))
        attempt = getattr(queue, waits.attempt)
        loop = asyncio.get_running_loop()
        give_up = loop.time() + timeout_ms / 1000
        result = await self._run(attempt, leased=waits.leased, quick=waits.quick, **arguments)
        if waits.leased(result) or timeout_ms == 0 or not waits.can_lease(arguments):
            return result
        self._waiters += 1
        # Whether this call was woken for a change and has not yet found the
        # queue empty: then it owes the next sleeper a wake-up when it goes.
        owes_wake_up = False
        try:
            while True:
                await self._watching()
                mark = self._feed.mark()
                result, due_ms = await self._attempt(queue, attempt, waits, arguments)
                if waits.leased(result):
                    owes_wake_up = True  # more may be ready
                    return result
                owes_wake_up = False
                remaining = give_up - loop.time()
                if remaining <= 0:
                    return result
                sleep = remaining if self._recheck_s is None else min(remaining, self._recheck_s)
                if due_ms is not None:
                    sleep = min(sleep, max(due_ms / 1000, SHORTEST_SLEEP_S))
                owes_wake_up = await self._feed.wait(mark, sleep)
        finally:
            self._waiters -= 1
            if self._waiters == 0:
                self._stop_listening()
            if owes_wake_up:
                self._feed.pass_on()

    async def _attempt(self, queue: Any, attempt: Callable[..., Any], waits: Waits,
                       arguments: dict[str, Any]) -> tuple[Any, int | None]:
        """One attempt of a waiting call and, when it leased nothing, how long
        until a lease runs out."""
        if waits.quick and self._nowait is not None and not self._closed:
            try:
                result = self._nowait(attempt, **arguments)
            except BlockingIOError:
                pass
            else:
                if waits.leased(result):
                    return result, None
                return result, await self._run(queue.next_due_ms, quick=True)
        # One trip to the worker for both.
        return await self._run(_attempt_with_due, queue, attempt, waits.leased, arguments,
                               leased=lambda outcome: waits.leased(outcome[0]))

    async def _watching(self) -> None:
        """Makes sure the source of changes is started and read, before the
        attempt that the next sleep follows."""
        if self._closed:
            # As a wait on the blocking queue ends when another thread closes it.
            raise ValueError("I/O operation on closed queue.")
        if self._source is None:
            self._source = asyncio.ensure_future(self._start_source())
        source = self._source
        try:
            await asyncio.shield(source)
        except BaseException:
            if source.done() and self._source is source:
                self._source = None  # the next waiter tries again
            raise
        self._listen()

    async def _start_source(self) -> None:
        raise NotImplementedError

    def _listen(self) -> None:
        """Called before each attempt of a waiting call, with the source started."""

    def _stop_listening(self) -> None:
        """Called when the last waiting call leaves."""

    def _close_source(self) -> None:
        """Called once, at close."""

    def _source_lost(self) -> None:
        """For a backend whose source failed: waiters look again, and the
        next of them starts it anew."""
        self._source = None
        self._feed.wake_all()

    # -- life --------------------------------------------------------------

    async def close(self) -> None:
        """Closes the queue as its `close()` does, after every call made
        before; waiting calls end with ValueError. Closing again does nothing."""
        if self._closed:
            return
        # From here on, calls go to the worker behind the queue's close()
        # (quick ones too), and meet a closed queue, with its errors.
        self._closed = True
        self._feed.wake_all()
        if self._source is not None and not self._source.done():
            self._source.cancel()
        self._close_source()
        try:
            queue = await self._opened()
        except Exception:
            queue = None  # it never opened: nothing to close
        executor = self._executor
        try:
            if queue is not None:
                await self._run(queue.close)
        finally:
            # A closed queue refuses every call at once, without a lock:
            # from now on calls run on the loop, and the thread can go.
            self._executor = None
            if executor is not None:
                executor.shutdown(wait=False)

    async def __aenter__(self: Face) -> Face:
        await self._opened()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()


def _attempt_with_due(queue: Any, attempt: Callable[..., Any], leased: Leased,
                      arguments: dict[str, Any]) -> tuple[Any, int | None]:
    """One attempt of a waiting call and, when it leased nothing, how long
    until a lease runs out: one trip to the worker for both."""
    result = attempt(**arguments)
    return result, None if leased(result) else queue.next_due_ms()


def _hand_back(queue: Any, seqs: list[int]) -> None:
    for seq in seqs:
        try:
            queue.nack(seq)
        except Exception:
            pass  # the lease runs out instead; the cancellation goes on


async def _outlast_cancellation(job: concurrent.futures.Future[Any]) -> Any:
    """The result of a job that has started (None if it failed), waited for
    through any cancellation of the caller."""
    finished = asyncio.wrap_future(job)
    while not finished.done():
        try:
            await asyncio.shield(finished)
        except asyncio.CancelledError:
            continue
        except Exception:
            break
    return None if finished.cancelled() or finished.exception() is not None else finished.result()


def forward(name: str, forwarding: Forwarding) -> Callable[..., Any]:
    """The awaitable method `name` of the face, as the table describes it."""
    quick = forwarding.quick and not isinstance(forwarding, Waits)

    async def method(self: AsyncFace, *args: Any, **kwargs: Any) -> Any:
        # The usual path of a quick call, without a coroutine more.
        queue = self._queue
        if quick and queue is not None and not self._closed:
            if self._executor is None:
                return getattr(queue, name)(*args, **kwargs)
            if self._nowait is not None:
                try:
                    return self._nowait(getattr(queue, name), *args, **kwargs)
                except BlockingIOError:
                    pass
        return await self._forward(name, forwarding, args, kwargs)

    method.__name__ = method.__qualname__ = name
    method.__doc__ = forwarding.doc
    return method


for _name, _forwarding in METHODS.items():
    setattr(AsyncFace, _name, forward(_name, _forwarding))
