#!/usr/bin/python3
"""Oracle vectors for core/security/x509, answered by `openssl x509` and
Python cryptography (Debian's python3-cryptography and
python3-cryptography-vectors).

Writes into <dir>:
  x509_certs.txt  one row per certificate of the system bundle
      (/etc/ssl/certs/*.pem) and of the vectors package's x509/*.pem|der and
      x509/custom/*.pem|der (the first certificate of a PEM file), fields
      separated by tabs:
        label, expected load (1, 0, or ? when the oracles do not decide),
        key algorithm (rsa, ec, other), DER hex,
        serial (openssl -serial), SHA-1 and SHA-256 thumbprints
        (openssl -fingerprint, lower-case hex),
        CN, O, OU of the subject (cryptography, last value, UTF-8 hex or -),
        basicConstraints (- or "<ca 0/1>,<pathlen or ->"),
        keyUsage (- or the bit mask, bit n = KeyUsage bit n),
        extKeyUsage (- or mask: 1 serverAuth, 2 clientAuth, 4 codeSigning,
        8 any, 16 other), subjectAltName DNS names (- or hex items joined by
        ","), subjectAltName IP addresses (- or hex items joined by ",");
        the extension fields come from openssl -ext.
  x509_pkits.txt  PKITS sections 4.1-4.3, 4.6 and 4.7: "ca <file> <DER hex>"
      for every certificate of the suite that is not an end entity, then
      "test <name> <expect> <EE DER hex>" where expect is valid, invalid,
      load-fails (DSA keys) or "skip:<reason>" (the suite's verdict needs
      CRLs, which this system does not read). The suite names its verdict.
  x509_hosts.txt  host-name cases: cert <name> <DER hex> rows, each followed
      by host <text> <openssl -checkhost/-checkip answer 0/1> rows.
"""
import concurrent.futures
import datetime
import glob
import hashlib
import ipaddress
import os
import re
import subprocess
import sys
import tempfile
import warnings

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID
import cryptography_vectors

VECTORS = os.path.dirname(cryptography_vectors.__file__)
# Signature algorithms our hash layer and key records read.
SUPPORTED_SIGNATURES = {
    "1.2.840.113549.1.1.2", "1.2.840.113549.1.1.3", "1.2.840.113549.1.1.4",
    "1.2.840.113549.1.1.5", "1.2.840.113549.1.1.14", "1.2.840.113549.1.1.11",
    "1.2.840.113549.1.1.12", "1.2.840.113549.1.1.13", "1.2.840.10045.4.1",
    "1.2.840.10045.4.3.1", "1.2.840.10045.4.3.2", "1.2.840.10045.4.3.3",
    "1.2.840.10045.4.3.4", "1.3.14.3.2.29",
}
KEY_USAGE = ["Digital Signature", "Non Repudiation", "Key Encipherment", "Data Encipherment",
             "Key Agreement", "Certificate Sign", "CRL Sign", "Encipher Only", "Decipher Only"]
EKU = {"TLS Web Server Authentication": 1, "TLS Web Client Authentication": 2,
       "Code Signing": 4, "Any Extended Key Usage": 8}


def openssl(args, data):
    return subprocess.run(["openssl"] + args, input=data, capture_output=True, timeout=60)


def hexname(name, oid):
    values = name.get_attributes_for_oid(oid)
    return values[-1].value.encode().hex() if values else "-"


def ext_blocks(text):
    """{extension title: its value lines} from openssl -ext output."""
    blocks, title = {}, None
    for line in text.splitlines():
        if line.startswith("    ") and title:
            blocks[title].append(line.strip())
        elif line.strip().startswith("X509v3 "):
            title = line.strip().split(":")[0]
            blocks[title] = []
    return {k: " ".join(v) for k, v in blocks.items()}


def ext_fields(text):
    blocks = ext_blocks(text)
    bc = ku = eku = dns = ips = "-"
    if "X509v3 Basic Constraints" in blocks:
        v = blocks["X509v3 Basic Constraints"]
        m = re.search(r"pathlen:(\d+)", v)
        bc = f"{int('CA:TRUE' in v)},{m.group(1) if m else '-'}"
    if "X509v3 Key Usage" in blocks:
        names = [n.strip() for n in blocks["X509v3 Key Usage"].split(",") if n.strip()]
        ku = str(sum(1 << KEY_USAGE.index(n) for n in names))
    if "X509v3 Extended Key Usage" in blocks:
        names = [n.strip() for n in blocks["X509v3 Extended Key Usage"].split(",") if n.strip()]
        eku = str(sum(set(EKU.get(n, 16) for n in names)))
    if "X509v3 Subject Alternative Name" in blocks:
        v = blocks["X509v3 Subject Alternative Name"]
        d = [m.encode().hex() for m in re.findall(r"DNS:([^,]*)", v)]
        i = [ipaddress.ip_address(m).packed.hex()
             for m in re.findall(r"IP Address:([0-9A-Fa-f:.]+)", v)]
        dns = ",".join(d) if d else "-"
        ips = ",".join(i) if i else "-"
    return bc, ku, eku, dns, ips


def expected_load(cert):
    """1 or 0 from what the certificate holds, ? when cryptography cannot
    read its extensions (the reader then decides for itself)."""
    oid = cert.signature_algorithm_oid.dotted_string
    if oid not in SUPPORTED_SIGNATURES:
        return "0"
    keep = (NameOID.COMMON_NAME, NameOID.ORGANIZATION_NAME, NameOID.ORGANIZATIONAL_UNIT_NAME)
    if not any(cert.issuer.get_attributes_for_oid(o) for o in keep):
        return "0"
    try:
        exts = cert.extensions
    except Exception:
        return "?"
    if not any(cert.subject.get_attributes_for_oid(o) for o in keep):
        has_san = any(e.oid == x509.oid.ExtensionOID.SUBJECT_ALTERNATIVE_NAME for e in exts)
        if len(cert.subject) or not has_san:
            return "0"
    return "1"


def key_kind(cert):
    try:
        key = cert.public_key()
    except Exception:
        return "other"
    if isinstance(key, rsa.RSAPublicKey):
        return "rsa"
    if isinstance(key, ec.EllipticCurvePublicKey):
        return "ec"
    return "other"


def row(label, der):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cert = x509.load_der_x509_certificate(der)
        expect = expected_load(cert)
        kind = key_kind(cert)
        cn = hexname(cert.subject, NameOID.COMMON_NAME)
        o = hexname(cert.subject, NameOID.ORGANIZATION_NAME)
        ou = hexname(cert.subject, NameOID.ORGANIZATIONAL_UNIT_NAME)
    r = openssl(["x509", "-inform", "DER", "-noout", "-serial", "-fingerprint", "-sha1", "-ext",
                 "basicConstraints,keyUsage,extendedKeyUsage,subjectAltName"], der)
    if r.returncode != 0:
        return None
    out = r.stdout.decode("utf-8", "replace")
    serial = re.search(r"^serial=(\S*)", out, re.M).group(1).lower()
    sha1 = re.search(r"Fingerprint=(\S+)", out).group(1).replace(":", "").lower()
    if hashlib.sha1(der).hexdigest() != sha1:
        raise RuntimeError(f"{label}: fingerprint mismatch")
    fields = ext_fields(out)
    return (label, expect, kind, der.hex(), serial, sha1, hashlib.sha256(der).hexdigest(),
            cn, o, ou) + fields


def samples():
    seen = set()
    for path in sorted(glob.glob("/etc/ssl/certs/*.pem")):
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            yield "system/" + os.path.basename(path), real
    for pattern in ("x509/*.pem", "x509/*.der", "x509/custom/*.pem", "x509/custom/*.der"):
        for path in sorted(glob.glob(os.path.join(VECTORS, pattern))):
            yield os.path.relpath(path, VECTORS), path


def to_der(path):
    with open(path, "rb") as f:
        data = f.read()
    if b"-----BEGIN CERTIFICATE-----" in data:
        r = openssl(["x509", "-outform", "DER"], data)
        return r.stdout if r.returncode == 0 else None
    return data


def cert_rows():
    jobs = []
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for label, path in samples():
            der = to_der(path)
            if not der:
                continue
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    x509.load_der_x509_certificate(der)
            except Exception:
                continue  # not a certificate cryptography reads: the fuzzer covers such
            jobs.append(pool.submit(row, label, der))
        rows = [j.result() for j in jobs]
    rows = [r for r in rows if r]
    if len(rows) < 150:
        raise RuntimeError(f"only {len(rows)} certificates")
    return rows


# ---- host names ----------------------------------------------------------------------

def host_certs(tmp):
    key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    now = datetime.datetime(2024, 1, 1)

    def make(name, cn, sans):
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)] if cn else [])
        b = (x509.CertificateBuilder().subject_name(subject)
             .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Host CA")]))
             .public_key(key.public_key()).serial_number(1)
             .not_valid_before(now).not_valid_after(now + datetime.timedelta(days=3650)))
        if sans is not None:
            b = b.add_extension(x509.SubjectAlternativeName(sans), critical=False)
        return name, b.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)

    D, I = x509.DNSName, lambda t: x509.IPAddress(ipaddress.ip_address(t))
    return [
        make("san-dns", "cn.example.com", [D("www.example.com"), D("*.wild.example.com"),
                                           D("xn--bcher-kva.example"), D("trailing.example.com."),
                                           D("*.com"), D("f*o.example.org"), D("*.*.example.net")]),
        make("san-ip", "10.0.0.1", [I("192.0.2.1"), I("2001:db8::1"), D("dns.example.com")]),
        make("cn-only", "cn.example.com", None),
        make("cn-wild", "*.cn.example.com", None),
        make("cn-ip", "192.0.2.7", None),
        make("empty-subject", None, [D("nosubject.example.com")]),
        make("san-nul", "nul.example.com", [D("evil.example.com\x00.good.example.com")]),
        make("san-other", "cn.example.com", [x509.RFC822Name("a@example.com")]),
    ]


HOSTS = {
    "san-dns": ["www.example.com", "WWW.Example.COM", "www.example.com.", "example.com",
                "a.wild.example.com", "wild.example.com", "a.b.wild.example.com",
                "xn--bcher-kva.example", "trailing.example.com", "trailing.example.com.",
                "foo.com", "fao.example.org", "foo.example.org", "a.b.example.net",
                "cn.example.com", "www.example.com..", ".www.example.com", "192.0.2.1"],
    "san-ip": ["192.0.2.1", "2001:db8::1", "2001:DB8:0:0:0:0:0:1", "[2001:db8::1]",
               "192.0.2.2", "10.0.0.1", "dns.example.com", "::ffff:192.0.2.1"],
    "cn-only": ["cn.example.com", "CN.EXAMPLE.COM", "other.example.com"],
    "cn-wild": ["a.cn.example.com", "cn.example.com"],
    "cn-ip": ["192.0.2.7"],
    "empty-subject": ["nosubject.example.com", "other.example.com"],
    "san-nul": ["evil.example.com", "good.example.com", "evil.example.com.good.example.com"],
    "san-other": ["cn.example.com", "example.com"],
}


def check_host(der, host):
    bare = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    try:
        ipaddress.ip_address(bare)
        args = ["-checkip", bare]
    except ValueError:
        args = ["-checkhost", host]
    r = openssl(["x509", "-inform", "DER", "-noout"] + args, der)
    return 1 if " does match " in r.stdout.decode() else 0


def host_rows(tmp):
    rows = []
    for name, der in host_certs(tmp):
        rows.append(("cert", name, der.hex()))
        for host in HOSTS[name]:
            rows.append(("host", host, check_host(der, host)))
    return rows


PKITS = {
    "4.1": ["ValidCertificatePathTest1", "InvalidCASignatureTest2", "InvalidEESignatureTest3",
            "ValidDSASignaturesTest4", "ValidDSAParameterInheritanceTest5",
            "InvalidDSASignatureTest6"],
    "4.2": ["InvalidCAnotBeforeDateTest1", "InvalidEEnotBeforeDateTest2",
            "Validpre2000UTCnotBeforeDateTest3", "ValidGeneralizedTimenotBeforeDateTest4",
            "InvalidCAnotAfterDateTest5", "InvalidEEnotAfterDateTest6",
            "Invalidpre2000UTCEEnotAfterDateTest7", "ValidGeneralizedTimenotAfterDateTest8"],
    "4.3": ["InvalidNameChainingTest1", "InvalidNameChainingOrderTest2",
            "ValidNameChainingWhitespaceTest3", "ValidNameChainingWhitespaceTest4",
            "ValidNameChainingCapitalizationTest5", "ValidNameUIDsTest6",
            "ValidRFC3280MandatoryAttributeTypesTest7", "ValidRFC3280OptionalAttributeTypesTest8",
            "ValidUTF8StringEncodedNamesTest9",
            "ValidRolloverfromPrintableStringtoUTF8StringTest10",
            "ValidUTF8StringCaseInsensitiveMatchTest11"],
    "4.6": ["InvalidMissingbasicConstraintsTest1", "InvalidcAFalseTest2", "InvalidcAFalseTest3",
            "ValidbasicConstraintsNotCriticalTest4", "InvalidpathLenConstraintTest5",
            "InvalidpathLenConstraintTest6", "ValidpathLenConstraintTest7",
            "ValidpathLenConstraintTest8", "InvalidpathLenConstraintTest9",
            "InvalidpathLenConstraintTest10", "InvalidpathLenConstraintTest11",
            "InvalidpathLenConstraintTest12", "ValidpathLenConstraintTest13",
            "ValidpathLenConstraintTest14", "ValidSelfIssuedpathLenConstraintTest15",
            "InvalidSelfIssuedpathLenConstraintTest16", "ValidSelfIssuedpathLenConstraintTest17"],
    "4.7": ["InvalidkeyUsageCriticalkeyCertSignFalseTest1",
            "InvalidkeyUsageNotCriticalkeyCertSignFalseTest2", "ValidkeyUsageNotCriticalTest3",
            "InvalidkeyUsageCriticalcRLSignFalseTest4",
            "InvalidkeyUsageNotCriticalcRLSignFalseTest5"],
}
# Verdicts that rest on a CRL the issuer could not sign.
PKITS_CRL = {"InvalidkeyUsageCriticalcRLSignFalseTest4", "InvalidkeyUsageNotCriticalcRLSignFalseTest5"}


def pkits_rows():
    base = os.path.join(VECTORS, "x509/PKITS_data/certs")
    rows = []
    for path in sorted(glob.glob(os.path.join(base, "*.crt"))):
        if not path.endswith("EE.crt"):
            with open(path, "rb") as f:
                rows.append(("ca", os.path.basename(path), f.read().hex()))
    for section, names in PKITS.items():
        for name in names:
            with open(os.path.join(base, name + "EE.crt"), "rb") as f:
                der = f.read()
            cert = x509.load_der_x509_certificate(der)
            if name in PKITS_CRL:
                expect = "skip:the verdict needs the issuer's CRL"
            elif "DSA" in name:
                expect = "load-fails"
            else:
                expect = "valid" if name.startswith("Valid") else "invalid"
            rows.append(("test", f"{section} {name}", expect, der.hex()))
    return rows


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for file, rows in (("x509_certs.txt", cert_rows()), ("x509_hosts.txt", host_rows(tmp)),
                           ("x509_pkits.txt", pkits_rows())):
            with open(os.path.join(out, file), "w") as f:
                for r in rows:
                    f.write("\t".join(str(x) for x in r) + "\n")


if __name__ == "__main__":
    main()
