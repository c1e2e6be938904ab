#!/usr/bin/python3
# Signs requests with botocore's S3 signer, the reference for the unit's: one JSON request a line
# on stdin (texts of path and query as hex of their UTF-8 bytes, the body as hex), the
# Authorization header a line on stdout.
import datetime
import json
import sys
from urllib.parse import quote

import botocore.auth as auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

now = [None]


class FixedClock(datetime.datetime):
    @classmethod
    def utcnow(cls):
        return now[0]

    @classmethod
    def now(cls, tz=None):
        return now[0]


class FixedModule:
    datetime = FixedClock


auth.datetime = FixedModule
if hasattr(auth, "get_current_datetime"):
    auth.get_current_datetime = lambda: now[0]


def text(h):
    return bytes.fromhex(h).decode("utf-8")


for line in sys.stdin:
    c = json.loads(line)
    now[0] = FixedClock.strptime(c["date"], "%Y%m%dT%H%M%SZ")
    url = "https://" + c["host"] + quote(text(c["path"]), safe="/~")
    params = [(text(k), text(v)) for k, v in c["query"]]
    req = AWSRequest(method=c["method"], url=url, headers=c["headers"], data=bytes.fromhex(c["body"]),
                     params=params)
    creds = Credentials(c["ak"], c["sk"], c["token"] or None)
    auth.S3SigV4Auth(creds, "s3", c["region"]).add_auth(req)
    print(req.headers["Authorization"], flush=True)
