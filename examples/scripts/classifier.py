"""Stand-in for the proxy's request classifier; telmir only checks that it is present."""


def classify(tool_name: str) -> dict:
    return {"category": "read", "action_type": "read", "confidence_tier": "high"}
