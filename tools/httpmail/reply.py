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
        self.close = False

    @staticmethod
    def text(status, text):
        return Reply(status, (text.rstrip("\r\n") + "\r\n").encode("utf-8"), "text/plain; charset=utf-8")

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None
