#!/usr/bin/python3
"""Writes the DNS answers of this directory, encoded by dnspython (Debian's
python3-dnspython): NAME.bin as a resolver sends it, NAME.expected.bin as the
strict-mode rewrite must turn it (absent: left unchanged). Run it from
anywhere; it sends nothing over the network."""
import os
import struct

import dns.edns
import dns.flags
import dns.message
import dns.rcode
import dns.rrset

HERE = os.path.dirname(os.path.abspath(__file__))


def ech_config_list(public_name: bytes) -> bytes:
    """An ECHConfigList of one draft-ietf-tls-esni (0xfe0d) config, X25519, HKDF-SHA256, AES-128-GCM."""
    key = bytes(range(1, 33))
    contents = (bytes([0x2A]) + struct.pack("!HH", 0x0020, len(key)) + key + struct.pack("!HHH", 4, 1, 1)
                + bytes([0, len(public_name)]) + public_name + struct.pack("!H", 0))
    config = struct.pack("!HH", 0xFE0D, len(contents)) + contents
    return struct.pack("!H", len(config)) + config


ECH = ech_config_list(b"public.example.test")
ECH_B64 = __import__("base64").b64encode(ECH).decode()


def answer(qname, qtype, records, additional=(), rcode=dns.rcode.NOERROR, edns=True):
    query = dns.message.make_query(qname, qtype, use_edns=0 if edns else None, payload=1232)
    query.id = 0x5A17
    response = dns.message.make_response(query, recursion_available=True)
    response.set_rcode(rcode)
    for section, texts in ((response.answer, records), (response.additional, additional)):
        for text in texts:
            section.append(dns.rrset.from_text(*text.split(" ", 4)))
    return response


def write(name, message, expected=None):
    with open(os.path.join(HERE, name + ".bin"), "wb") as out:
        out.write(message.to_wire(max_size=65535))
    if expected is not None:
        with open(os.path.join(HERE, name + ".expected.bin"), "wb") as out:
            out.write(expected.to_wire(max_size=65535))


def https(priority_target, params):
    return " ".join([priority_target] + params)


# One HTTPS record with alpn, ech and the address hints.
params = ['alpn="h3,h2"', "ech=" + ECH_B64, "ipv4hint=198.18.10.2", "ipv6hint=2001:db8:10::2"]
kept = [p for p in params if not p.startswith("ech=")]
write("https_ech",
      answer("svc.example.test.", "HTTPS", ["svc.example.test. 300 IN HTTPS " + https("1 .", params)]),
      answer("svc.example.test.", "HTTPS", ["svc.example.test. 300 IN HTTPS " + https("1 .", kept)]))

# SVCB records where ech is mandatory: once beside alpn, once alone; ech the only parameter of a third.
write("svcb_mandatory",
      answer("_dns.resolver.example.test.", "SVCB", [
          "_dns.resolver.example.test. 60 IN SVCB 1 dot.example.test. mandatory=alpn,ech alpn=dot ech=" + ECH_B64 + " port=853",
          "_dns.resolver.example.test. 60 IN SVCB 2 doh.example.test. mandatory=ech ech=" + ECH_B64,
          "_dns.resolver.example.test. 60 IN SVCB 3 doq.example.test. ech=" + ECH_B64]),
      answer("_dns.resolver.example.test.", "SVCB", [
          "_dns.resolver.example.test. 60 IN SVCB 1 dot.example.test. mandatory=alpn alpn=dot port=853",
          "_dns.resolver.example.test. 60 IN SVCB 2 doh.example.test.",
          "_dns.resolver.example.test. 60 IN SVCB 3 doq.example.test."]))

# A CNAME chain to two HTTPS records, then address records in the additional
# section whose compressed owner names point behind the removed bytes.
def chain(with_ech):
    ech = ["ech=" + ECH_B64] if with_ech else []
    return answer("www.example.test.", "HTTPS", [
        "www.example.test. 300 IN CNAME cdn.example.test.",
        "cdn.example.test. 60 IN HTTPS 1 . alpn=h2 " + " ".join(ech),
    ], additional=[
        "alt.cdn.example.test. 60 IN A 198.18.10.3",
        "x.alt.cdn.example.test. 60 IN AAAA 2001:db8:10::3",
        "y.x.alt.cdn.example.test. 60 IN HTTPS 1 . " + " ".join(ech + ["port=8443"]),
        "y.x.alt.cdn.example.test. 60 IN A 198.18.10.4",
    ])


write("https_chain_compressed", chain(True), chain(False))

# An answer that must become NXDOMAIN: no records, the question as asked, EDNS kept.
def nxdomain(file, qname, qtype, data):
    write(file, answer(qname, qtype, [f"{qname} 60 IN {qtype} {data}"]),
          answer(qname, qtype, [], rcode=dns.rcode.NXDOMAIN))


# The canary, asked in mixed case, answered with an address.
nxdomain("canary", "USE-Application-DNS.net.", "A", "198.18.10.9")

# Names under blocked.example, the test block list (dns_rewrite_test.cpp), for any type asked.
nxdomain("blocked_a", "blocked.example.", "A", "198.18.10.5")
nxdomain("blocked_subdomain_aaaa", "www.blocked.example.", "AAAA", "2001:db8:10::5")
nxdomain("blocked_case_https", "Www.BLOCKED.Example.", "HTTPS", https("1 .", params))

# A name that only ends with the same letters as a blocked one: untouched.
write("notblocked_a", answer("notblocked.example.", "A", ["notblocked.example. 60 IN A 198.18.10.6"]))

# A plain address answer: nothing to change.
write("a_answer", answer("plain.example.test.", "A", ["plain.example.test. 300 IN A 198.18.10.2"]))

# A large answer: sixteen HTTPS records with ech, as a big hosting network might send.
def many(with_ech):
    ech = ["ech=" + ECH_B64] if with_ech else []
    return answer("big.example.test.", "HTTPS", [
        f"big.example.test. 300 IN HTTPS {priority} pool{priority}.big.example.test. "
        + " ".join(['alpn="h3,h2"'] + [f"ipv4hint=198.18.11.{priority}"] + ech + ["ipv6hint=2001:db8:11::1"])
        for priority in range(1, 17)])


write("https_many", many(True), many(False))
