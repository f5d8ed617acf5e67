"""Helpers for tests that talk to configured databases."""

from kelvora_core.config import app_config


class LogRecorder:
    """Stands in for the logging facade; keeps (level, message) pairs."""

    def __init__(self):
        self.lines = []

    debug_on = True  # what the facade answers when asked whether debug lines are written

    def debug_enabled(self):
        return self.debug_on

    def __getattr__(self, level):
        def record(*args, **kwargs):
            self.lines.append((level, *args, *kwargs.values()))
        return record

    def messages(self, *levels):
        return [line[1] for line in self.lines if not levels or line[0] in levels]


def configure(**databases):
    settings = app_config.AppConfig.model_copy(deep=True)
    settings.databases = {name: app_config.DatabaseSetting(url=url) for name, url in databases.items()}
    app_config.install(settings)
