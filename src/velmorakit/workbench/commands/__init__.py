"""commands"""
