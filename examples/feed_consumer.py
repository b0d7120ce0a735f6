#!/usr/bin/env python3
"""Takes every record talvod stores, once, in the order they were committed.

The last record number taken (its "seq") is kept in a state file, written
only after the records before it were handed on; after a crash the consumer
goes on from there.  Each record is printed as one line of JSON: pipe it
into whatever takes them (an ERP import, a payroll system, a file).

    python3 feed_consumer.py --url http://127.0.0.1:8080 --state feed.state \
        [--token-file token] [--follow]
"""
import argparse
import json
import os
import sys
import time
import urllib.request


def fetch(url, token, after, limit):
    request = urllib.request.Request(f"{url}/api/records?after={after}&limit={limit}")
    if token:
        request.add_header("Authorization", f"Bearer {token}")
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)


def save(path, seq):
    # Written aside and renamed: the state file is always whole.
    with open(path + ".new", "w") as f:
        f.write(f"{seq}\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(path + ".new", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True, help="talvod's address, e.g. http://127.0.0.1:8080")
    parser.add_argument("--state", required=True, help="file that keeps the last record number taken")
    parser.add_argument("--token-file", help="file holding a reader's token")
    parser.add_argument("--limit", type=int, default=500, help="records per request (1-1000)")
    parser.add_argument("--follow", action="store_true", help="keep waiting for new records")
    args = parser.parse_args()
    token = open(args.token_file).read().strip() if args.token_file else ""
    after = int(open(args.state).read()) if os.path.exists(args.state) else 0
    while True:
        page = fetch(args.url.rstrip("/"), token, after, args.limit)
        for record in page["records"]:
            print(json.dumps(record), flush=True)
        if page["next"] != after:
            after = page["next"]
            save(args.state, after)
        if not page["more"]:
            if not args.follow:
                return 0
            time.sleep(2)


if __name__ == "__main__":
    sys.exit(main())
