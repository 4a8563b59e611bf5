#!/usr/bin/python3
"""Starts a private PostgreSQL server, runs line_bench against it and against
an SQLite file, and stops the server.  Usage: run_line_bench.py LINE_BENCH PG_SERVER DIR"""
import subprocess, sys, os

bench, pg, folder = sys.argv[1:4]
os.makedirs(folder, exist_ok=True)
url = subprocess.run([sys.executable, pg, "start", os.path.join(folder, "pg")], stdout=subprocess.PIPE,
                     text=True, check=True).stdout.strip()
try:
    db = os.path.join(folder, "bench.db")
    for f in (db, db + "-wal", db + "-shm"):
        if os.path.exists(f):
            os.remove(f)
    rc = subprocess.run([bench, url, "sqlite:" + db]).returncode
finally:
    subprocess.run([sys.executable, pg, "stop", os.path.join(folder, "pg")])
sys.exit(rc)
