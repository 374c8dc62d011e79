"""simulation"""
