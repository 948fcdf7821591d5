"""One HTTP answer as the handler builds it before sending."""


class Reply:
    def __init__(self, status, body=b"", content_type=None, headers=None):
        self.status = status
        self.body = body
        self.headers = list(headers or [])
        if content_type and body:
            self.headers.insert(0, ("Content-Type", content_type))
        self.truncate = False   # send half of the body, then close
        self.chunked = False
        self.chunk_size = 0         # bytes per chunk; 0: the body at once
        self.close_delimited = False  # no length: the body ends with the connection
        self.trickle = 0.0          # seconds before each piece of the body
        self.trickle_headers = 0.0  # seconds after each header line
        self.extra = 0              # filler bytes sent after the body
        self.close = False

    @staticmethod
    def text(status, text):
        return Reply(status, (text.rstrip("\r\n") + "\r\n").encode("utf-8"), "text/plain; charset=utf-8")

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None
