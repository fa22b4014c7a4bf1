"""Reads an SMS-SUBMIT as a modem gets it in PDU mode: the service centre's address first (3GPP
TS 27.005, 3.1), then the TPDU of 3GPP TS 23.040, 9.2.2.2. Written from the two standards alone,
in another language and apart from the system's encoder, so that each checks the other.
"""

# Semi-octet values 0-15 of an address (23.040, 9.1.2.3); 15 fills the last octet.
SEMI_OCTETS = "0123456789*#abc"


class PduError(ValueError):
    pass


def _take(octets, at, count, what):
    if at + count > len(octets):
        raise PduError(f"{what}: the PDU ends at octet {len(octets)}, {at + count} needed")
    return octets[at:at + count], at + count


def decode_submit(octets):
    """The fields of the SMS-SUBMIT in `octets`: number (with "+" for an international one),
    type_of_address, reference, pid, dcs, coding ("gsm7", "8bit" or "ucs2"), text (ucs2 only),
    user_data. Raises PduError for anything that is not a whole, well-formed SMS-SUBMIT."""
    (smsc_length,), at = _take(octets, 0, 1, "service centre address length")
    _, at = _take(octets, at, smsc_length, "service centre address")
    (first,), at = _take(octets, at, 1, "first octet")
    if first & 0x03 != 0x01:
        raise PduError(f"TP-MTI {first & 0x03} is no SMS-SUBMIT")
    validity_format = (first >> 3) & 0x03
    (reference,), at = _take(octets, at, 1, "TP-MR")
    (digits, type_of_address), at = _take(octets, at, 2, "TP-DA")
    semi, at = _take(octets, at, (digits + 1) // 2, "TP-DA digits")
    nibbles = [n for octet in semi for n in (octet & 0x0F, octet >> 4)]
    if digits % 2 and nibbles[-1] != 0x0F:
        raise PduError("the odd address does not end with the fill semi-octet F")
    if any(n == 0x0F for n in nibbles[:digits]):
        raise PduError("a fill semi-octet inside the address")
    number = "".join(SEMI_OCTETS[n] for n in nibbles[:digits])
    if type_of_address & 0x70 == 0x10:
        number = "+" + number
    (pid, dcs), at = _take(octets, at, 2, "TP-PID and TP-DCS")
    _, at = _take(octets, at, {0: 0, 1: 7, 2: 1, 3: 7}[validity_format], "TP-VP")
    (length,), at = _take(octets, at, 1, "TP-UDL")
    user_data = octets[at:]
    # The general data coding group (23.038, 4): bits 3 and 2 name the alphabet.
    if dcs & 0xC0 != 0x00:
        raise PduError(f"TP-DCS {dcs:#04x} is outside the general data coding group")
    coding = {0: "gsm7", 1: "8bit", 2: "ucs2"}.get((dcs >> 2) & 0x03)
    if coding is None:
        raise PduError(f"TP-DCS {dcs:#04x} names a reserved alphabet")
    text = None
    if coding == "gsm7":
        if len(user_data) != (length * 7 + 7) // 8:
            raise PduError(f"{len(user_data)} octets of 7-bit user data for TP-UDL {length}")
    elif len(user_data) != length:
        raise PduError(f"{len(user_data)} octets of user data, TP-UDL says {length}")
    if coding == "ucs2":
        if length % 2:
            raise PduError(f"UCS2 user data of an odd length {length}")
        text = bytes(user_data).decode("utf-16-be", "surrogatepass")
    return {"number": number, "type_of_address": type_of_address, "reference": reference,
            "pid": pid, "dcs": dcs, "coding": coding, "text": text, "user_data": bytes(user_data)}
