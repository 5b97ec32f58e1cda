pytest_plugins = ["support"]
