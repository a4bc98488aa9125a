"""VCDIFF deltas of keelson's framing: a reference decoder, an encoder and a
reframer of RFC 3284 deltas (standard library only)."""
