# Placeholder: turns the trust key file into generated/trust_keys.h.
# (Replaced by the real generator together with the signature module.)
add_custom_target(trust_keys)
