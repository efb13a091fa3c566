class AsyncTerminal:
    pass
