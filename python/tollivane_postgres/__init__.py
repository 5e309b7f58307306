"""The tollivane queue kept in PostgreSQL, for consumers on many hosts.

`PostgresQueue` has the methods, arguments, results and exceptions of
`tollivane.TollivaneCore`; docs/postgres.md says what differs on a server.
"""

from tollivane_postgres.queue import Body, Delivery, IntegrityReport, PostgresQueue, Stats

__all__ = ["Body", "Delivery", "IntegrityReport", "PostgresQueue", "Stats"]
