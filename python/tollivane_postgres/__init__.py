"""The tollivane queue kept in PostgreSQL, for consumers on many hosts.

`PostgresQueue` has the methods, arguments, results and exceptions of
`tollivane.TollivaneCore`, and uses its types (`tollivane.Stats`,
`tollivane.Delivery` and the rest); docs/postgres.md says what differs on
a server.
"""

from tollivane_postgres.queue import PostgresQueue

__all__ = ["PostgresQueue"]
