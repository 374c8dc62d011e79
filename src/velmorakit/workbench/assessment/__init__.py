"""assessment"""
