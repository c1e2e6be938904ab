#!/usr/bin/python3
# A presigned S3 GET made by botocore's query signer (AWS's own), at a given time, for comparison
# with the unit's: prints the URL's query, one "name=value" a line (values decoded), sorted.
# Usage: s3_presign_botocore.py URL_WITHOUT_SIGNING AK SK TOKEN REGION AMZDATE EXPIRES
# (the URL may carry further query parameters, which are signed too; TOKEN "-" for none)
import datetime
import sys
from urllib.parse import parse_qsl, urlsplit

import botocore.auth as auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

url, ak, sk, token, region, date, expires = sys.argv[1:8]
now = datetime.datetime.strptime(date, "%Y%m%dT%H%M%SZ")


class FixedClock(datetime.datetime):
    @classmethod
    def utcnow(cls):
        return now

    @classmethod
    def now(cls, tz=None):
        return now


class FixedModule:
    datetime = FixedClock


auth.datetime = FixedModule
if hasattr(auth, "get_current_datetime"):
    auth.get_current_datetime = lambda: now

req = AWSRequest(method="GET", url=url)
creds = Credentials(ak, sk, None if token == "-" else token)
auth.S3SigV4QueryAuth(creds, "s3", region, expires=int(expires)).add_auth(req)
for name, value in sorted(parse_qsl(urlsplit(req.url).query, keep_blank_values=True)):
    print("%s=%s" % (name, value))
