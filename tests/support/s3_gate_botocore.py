#!/usr/bin/python3
# Requests to the local cloud's S3 gate signed by botocore (AWS's own signer): header-signed GET
# and HEAD, a presigned (query-string) GET, and the same spoiled. One line per request:
# "NAME STATUS SHA256-OF-BODY CODE".
# Usage: s3_gate_botocore.py PORT CA_PEM AK SK TOKEN REGION BUCKET KEY
import hashlib
import http.client
import re
import ssl
import sys
from urllib.parse import quote, urlsplit

from botocore.auth import S3SigV4Auth, S3SigV4QueryAuth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

port, ca, ak, sk, token, region, bucket, key = sys.argv[1:9]
host = "%s.s3.cloudsim.test:%s" % (bucket, port)
url = "https://%s/%s" % (host, quote(key, safe="/~"))
ctx = ssl.create_default_context(cafile=ca)


def send(name, method, target, headers):
    conn = http.client.HTTPSConnection("127.0.0.1", int(port), context=ctx, timeout=20)
    conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
    conn.putheader("Host", host)
    for k, v in headers.items():
        if k.lower() != "host":
            conn.putheader(k, v)
    conn.endheaders()
    r = conn.getresponse()
    body = r.read()
    code = re.search(rb"<Code>([^<]*)</Code>", body)
    print(name, r.status, hashlib.sha256(body).hexdigest(), code.group(1).decode() if code else "-", flush=True)
    conn.close()


def signed(method, secret, tok):
    req = AWSRequest(method=method, url=url, data=b"")
    S3SigV4Auth(Credentials(ak, secret, tok or None), "s3", region).add_auth(req)
    return dict(req.headers.items())


def presigned(secret, expires):
    req = AWSRequest(method="GET", url=url)
    S3SigV4QueryAuth(Credentials(ak, secret, token or None), "s3", region, expires=expires).add_auth(req)
    parts = urlsplit(req.url)
    return parts.path + "?" + parts.query


send("get", "GET", urlsplit(url).path, signed("GET", sk, token))
send("head", "HEAD", urlsplit(url).path, signed("HEAD", sk, token))
send("query", "GET", presigned(sk, 300), {})
send("get_wrong_secret", "GET", urlsplit(url).path, signed("GET", sk + "x", token))
send("head_no_token", "HEAD", urlsplit(url).path, signed("HEAD", sk, ""))
send("query_wrong_secret", "GET", presigned(sk + "x", 300), {})
tampered = presigned(sk, 300).replace("X-Amz-Expires=300", "X-Amz-Expires=301")
send("query_tampered", "GET", tampered, {})
