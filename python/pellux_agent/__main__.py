"""`python -m pellux_agent`: the MCP server over stdio (see `pellux_agent.server`)."""

from pellux_agent.server import main

if __name__ == "__main__":
    main()
