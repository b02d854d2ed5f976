#!/usr/bin/env python3
"""Writes geoip.dat and geosite.dat in the v2ray protobuf format into the given directory:
a few entries, each with one small list, enough for a core that loads them by name (the
CN entry must be present). The stand-in core itself never matches against them.

    GeoIPList   { repeated GeoIP entry = 1; }    GeoIP   { string country_code = 1; repeated CIDR cidr = 2; }
    CIDR        { bytes ip = 1; uint32 prefix = 2; }
    GeoSiteList { repeated GeoSite entry = 1; }  GeoSite { string country_code = 1; repeated Domain domain = 2; }
    Domain      { Type type = 1; string value = 2; }  (Type: Plain 0, Regex 1, RootDomain 2, Full 3)
"""

import ipaddress
import pathlib
import sys


def varint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field(number, payload):
    """A length-delimited field."""
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def number_field(number, value):
    return varint(number << 3) + varint(value)


def geoip(entries):
    out = b""
    for code, networks in entries:
        body = field(1, code.encode())
        for network in networks:
            net = ipaddress.ip_network(network)
            body += field(2, field(1, net.network_address.packed) + number_field(2, net.prefixlen))
        out += field(1, body)
    return out


def geosite(entries):
    out = b""
    for code, domains in entries:
        body = field(1, code.encode())
        for domain in domains:
            body += field(2, number_field(1, 2) + field(2, domain.encode()))
        out += field(1, body)
    return out


def main(directory):
    target = pathlib.Path(directory)
    target.mkdir(parents=True, exist_ok=True)
    (target / "geoip.dat").write_bytes(geoip([
        ("CN", ["1.0.1.0/24", "2400:3200::/32"]),
        ("PRIVATE", ["10.0.0.0/8", "192.168.0.0/16"]),
    ]))
    (target / "geosite.dat").write_bytes(geosite([
        ("CN", ["cn"]),
        ("PRIVATE", ["localhost", "local"]),
        ("APPLE", ["apple.com"]),
        ("GEOLOCATION-!CN", ["example.org"]),
    ]))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
